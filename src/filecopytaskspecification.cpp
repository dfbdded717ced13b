#include "filecopytaskspecification.h"

#include <QDebug>
#include <QFile>

FileCopyFunc::FileCopyFunc(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, QString(), destination)
{
}

bool FileCopyFunc::run()
{
    qDebug() << "run" << m_Source << m_Destination;
    return QFile::copy(m_Source, m_Destination);
}

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList *journal, const QString &source,
                                                     const QString &destination, QObject *parent,
                                                     qreal weight)
    : SlowFileOpSpecification(journal, source, QString(), destination, "Could not copy '%1' to '%2'", parent,
                              weight)
{
}

ASyncFunc *FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(m_Source, m_Destination);
}
