// Removes the paths the product ini lists for deletion, one after the other, best-effort.
#pragma once

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"

class Configuration;

class FileDeleteListTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT
public:
    FileDeleteListTaskSpecification(QList<DeleteEntry> *deletes, Configuration *config, QObject *parent,
                                    qreal weight);

    void execute() override;
    void reset() override;

private:
    QList<DeleteEntry> *p_Deletes; // owned by the main task
    Configuration *p_Config;
};
