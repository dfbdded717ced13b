#include "fileunpacktaskspecification_lzma2.h"

#include "patcher/packed_file.h"

#include <QDebug>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, QString(), destination)
{
}

bool FileUnpackFunc_lzma2::run()
{
    return unpackFile(m_Source, m_Destination);
}

bool FileUnpackFunc_lzma2::unpackFile(const QString &source, const QString &destination)
{
    const QByteArray src = source.toUtf8();
    const QByteArray dst = destination.toUtf8();
    // The unpacker writes the destination only once the whole result is ready and checked.
    const bool ok = patcher::UnpackPackedFile(src.constData(), dst.constData());
    qDebug() << "unpackFile" << source << destination << ok;
    return ok;
}

FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2(RollbackDataList *journal,
                                                                     const QString &source,
                                                                     const QString &destination,
                                                                     QObject *parent, qreal weight)
    : SlowFileOpSpecification(journal, source, QString(), destination, "Could not unpack '%1' to '%2'",
                              parent, weight)
{
}

ASyncFunc *FileUnpackTaskSpecification_lzma2::createFunc()
{
    return new FileUnpackFunc_lzma2(m_Source, m_Destination);
}
