// Installs the downloaded files: creates the missing destination directories, then replaces the
// files two at a time, and undoes every change of the list when any of them fails or the run is
// cancelled.
#pragma once

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"
#include "rollback.h"

class Configuration;

class FileReplaceListTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT
public:
    FileReplaceListTaskSpecification(QList<ReplaceEntry> *replaces, Configuration *config, QObject *parent,
                                     qreal weight);

    void execute() override;
    void reset() override;

protected:
    void subtasksDone() override;

private:
    QList<ReplaceEntry> *p_Replaces; // owned by the main task
    RollbackDataList m_RunJournal;
    Configuration *p_Config;
};
