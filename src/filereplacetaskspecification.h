// Puts one file of the replace list in place: a copy of the download, or the unpacking of a packed
// download, or the patching of the installed file, each under its own journal.
#pragma once

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"
#include "rollback.h"

class Configuration;

class FileReplaceTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT
public:
    FileReplaceTaskSpecification(const ReplaceEntry &entry, RollbackDataList *runJournal,
                                 Configuration *config, QObject *parent, qreal weight);

    void execute() override;
    void reset() override;

    void makeSubtasksAndStart();
    void makeSingleFileExecutable(const QString &path);

protected:
    void subtasksDone() override;

private:
    ReplaceEntry m_Entry;
    RollbackDataList *p_RunJournal; // the list's journal, not owned
    RollbackDataList m_FileJournal;
    Configuration *p_Config;
};
