// Applies an ensemble patch to a copy of an installed file, writing the new installed file.
#pragma once

#include "slowfileopfunc.h"
#include "slowfileopspecification.h"

typedef char oschar;

// Applies the patch and logs the patcher's status; true only for success.
bool ApplyEnsemblePatch(const oschar *oldFile, const oschar *patchFile, const oschar *newFile);

class FileFuncPatch : public SlowFileOpFunc {
    Q_OBJECT
public:
    FileFuncPatch(const QString &source, const QString &patch, const QString &destination);
    bool run() override;

    bool patchFile(const QString &source, const QString &patch, const QString &destination);
};

class FileTaskSpecification_patch : public SlowFileOpSpecification {
    Q_OBJECT
public:
    FileTaskSpecification_patch(RollbackDataList *journal, const QString &source, const QString &patch,
                                const QString &destination, QObject *parent, qreal weight);

protected:
    ASyncFunc *createFunc() override;
};
