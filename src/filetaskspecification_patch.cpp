#include "filetaskspecification_patch.h"

#include "patcher/ensemble.h"

#include <QDebug>

bool ApplyEnsemblePatch(const oschar *oldFile, const oschar *patchFile, const oschar *newFile)
{
    // The statuses that get a word of explanation in the log; the user sees the task's text.
    static const struct {
        uint32_t status;
        const char *text;
    } kExplained[] = {
        {patcher::C_BAD_ENSEMBLE_MAGIC, "Not an ensemble patch"},
        {patcher::C_BAD_ENSEMBLE_VERSION, "Wrong version patch"},
        {patcher::C_BAD_ENSEMBLE_HEADER, "Corrupt patch"},
        {patcher::C_STREAM_ERROR, "Stream error (likely out of memory or disk space)"},
        {patcher::C_DISASSEMBLY_FAILED, "Disassembly failed (could be because of memory issues)"},
    };
    const uint32_t status = patcher::ApplyEnsemblePatch(oldFile, patchFile, newFile);
    qDebug() << "ApplyEnsemblePatch status =" << status;
    if (status == patcher::C_OK)
        return true;
    for (const auto &e : kExplained)
        if (e.status == status)
            qDebug() << e.text;
    return false;
}

FileFuncPatch::FileFuncPatch(const QString &source, const QString &patch, const QString &destination)
    : SlowFileOpFunc(source, patch, destination)
{
}

bool FileFuncPatch::run()
{
    return patchFile(m_Source, m_Patch, m_Destination);
}

bool FileFuncPatch::patchFile(const QString &source, const QString &patch, const QString &destination)
{
    const QByteArray src = source.toUtf8();
    const QByteArray pat = patch.toUtf8();
    const QByteArray dst = destination.toUtf8();
    const bool ok = ApplyEnsemblePatch(src.constData(), pat.constData(), dst.constData());
    qDebug() << "Patch result" << ok;
    return ok;
}

FileTaskSpecification_patch::FileTaskSpecification_patch(RollbackDataList *journal, const QString &source,
                                                         const QString &patch, const QString &destination,
                                                         QObject *parent, qreal weight)
    : SlowFileOpSpecification(journal, source, patch, destination, "Could not patch '%1' to '%2'", parent,
                              weight)
{
    qDebug() << "FileTaskSpecification_patch"
             << "srcFile:" << source << "patchFile:" << patch << "dstFile:" << destination;
}

ASyncFunc *FileTaskSpecification_patch::createFunc()
{
    return new FileFuncPatch(m_Source, m_Patch, m_Destination);
}
