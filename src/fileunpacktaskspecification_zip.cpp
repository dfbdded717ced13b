#include "fileunpacktaskspecification_zip.h"

#include <QFile>
#include <zlib.h>

FileUnpackFunc_Zip::FileUnpackFunc_Zip(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, QString(), destination)
{
}

bool FileUnpackFunc_Zip::run()
{
    const bool ok = gunzipFile(m_Destination, m_Source);
    // Also covers a destination that was created but whose source could not be opened.
    if (!ok)
        QFile::remove(m_Destination);
    return ok;
}

bool FileUnpackFunc_Zip::gunzipFile(const QString &destination, const QString &source)
{
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    gzFile in = gzopen(source.toUtf8().constData(), "rb");
    if (!in)
        return false;
    gzrewind(in);
    for (;;) {
        char buffer[16384];
        const int got = gzread(in, buffer, sizeof buffer);
        // zlib ends a cut-off gzip stream like a complete one and only notes the error, so a
        // truncated download would be installed truncated without this check. QFile buffers:
        // a full disk may only show when the last bytes are flushed.
        int gzStatus = Z_OK;
        if (got == 0)
            gzerror(in, &gzStatus);
        if (got == 0 && gzStatus == Z_OK && out.flush()) {
            out.close();
            gzclose(in);
            return true;
        }
        if (got <= 0 || out.write(buffer, got) != got) {
            gzclose(in);
            out.close();
            out.remove();
            return false;
        }
    }
}

FileUnpackTaskSpecification_zip::FileUnpackTaskSpecification_zip(RollbackDataList *journal,
                                                                 const QString &source,
                                                                 const QString &destination, QObject *parent,
                                                                 qreal weight)
    : SlowFileOpSpecification(journal, source, QString(), destination, "Could not unzip '%1' to '%2'", parent,
                              weight)
{
}

ASyncFunc *FileUnpackTaskSpecification_zip::createFunc()
{
    return new FileUnpackFunc_Zip(m_Source, m_Destination);
}
