#include "makedownloadreplacelisttaskspecification.h"

#include "checksigfunc.h"
#include "configuration.h"
#include "crypt.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QThread>

#include <atomic>
#include <future>
#include <system_error>
#include <thread>
#include <vector>

namespace {

const QString kPatchSuffix = "_patch_";
const QString kDirPlaceholder = "__TL3_DIR__";

// A value as one text: the INI reader turns a value with commas into a list.
QString valueText(const QSettings &ini, const QString &key)
{
    const QVariant v = ini.value(key);
    if (v.type() == QVariant::StringList)
        return v.toStringList().join(",");
    return v.toString();
}

quint64 sizeField(const QString &text)
{
    bool ok = false;
    const quint64 n = text.toULongLong(&ok);
    return ok ? n : 0;
}

// SHA-512 of a file as lower-case hex; empty when it cannot be read.
QString hexDigest(const QString &path)
{
    QByteArray digest;
    if (digestFile(path, DIGEST_SHA512, &digest) != DIGEST_OK)
        return QString();
    return QString::fromLatin1(digest.toHex());
}

} // namespace

// Digests of the installed files of a section, computed ahead on a few threads of their own in
// the order the compilation will ask for them, so that reading and hashing use every core while
// the compilation goes through the keys.
class MakeDownloadReplaceListFunc::DigestPipeline {
public:
    ~DigestPipeline()
    {
        m_Stop = true;
        for (std::thread &t : m_Threads)
            t.join();
    }

    void add(const QString &path)
    {
        if (m_Index.contains(path))
            return;
        m_Index.insert(path, m_Paths.size());
        m_Paths.push_back(path);
    }

    void start()
    {
        m_Results.resize(m_Paths.size());
        m_Futures.reserve(m_Paths.size());
        for (std::promise<QString> &p : m_Results)
            m_Futures.push_back(p.get_future().share());
        const int threads = qBound(1, QThread::idealThreadCount(), 4);
        try {
            for (int i = 0; i < threads && size_t(i) < m_Paths.size(); ++i)
                m_Threads.emplace_back([this] { work(); });
        } catch (const std::system_error &e) {
            // No thread to spare: the threads that did start still work through the list, and
            // without any the digests are computed when asked for.
            qDebug() << "DigestPipeline: thread not started" << e.what();
        }
    }

    // The digest of a path given to add(), or computed now for any other path.
    QString digest(const QString &path)
    {
        const auto it = m_Index.constFind(path);
        if (it == m_Index.constEnd() || m_Threads.empty())
            return hexDigest(path);
        return m_Futures[*it].get();
    }

private:
    void work()
    {
        for (;;) {
            const size_t i = m_Next++;
            if (i >= m_Paths.size() || m_Stop)
                return;
            m_Results[i].set_value(hexDigest(m_Paths[i]));
        }
    }

    std::vector<QString> m_Paths;
    QHash<QString, size_t> m_Index;
    std::vector<std::promise<QString>> m_Results;
    std::vector<std::shared_future<QString>> m_Futures;
    std::vector<std::thread> m_Threads;
    std::atomic<size_t> m_Next{0};
    std::atomic<bool> m_Stop{false};
};

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration *config, DownloadReplaceLists *lists, QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), m_Config(config), m_Lists(lists)
{
}

ASyncFunc *MakeDownloadReplaceListTaskSpecification::createFunc()
{
    return new MakeDownloadReplaceListFunc(m_Config, &m_Result);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    if (ok && m_TaskState == TASK_RUNNING)
        *m_Lists = m_Result;
    ASyncTaskSpecification::runDone(ok);
}

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration *config, DownloadReplaceLists *result)
    : m_Config(config), m_Result(result)
{
}

int MakeDownloadReplaceListFunc::osCode(const QString &name)
{
    static const char *const names[] = {"win32", "win64", "linux32", "linux64", "mac"};
    const QString lower = name.toLower();
    for (int i = 0; i < 5; ++i)
        if (lower == QLatin1String(names[i]))
            return i + 1;
    return 0;
}

bool MakeDownloadReplaceListFunc::isContainedPath(const QString &path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path) || path.startsWith('/') || path.startsWith('\\'))
        return false;
    bool namesSomething = false;
    for (const QString &part : path.split(QRegExp("[/\\\\]"))) {
        if (part == "..")
            return false;
        if (!part.isEmpty() && part != ".")
            namesSomething = true;
    }
    return namesSomething;
}

QString MakeDownloadReplaceListFunc::productIniName(int clientUpdate)
{
    return QString(clientUpdate ? "tl3_" : "") + Configuration::productName(clientUpdate != 0) + ".ini";
}

bool MakeDownloadReplaceListFunc::fileMatches(DigestPipeline &digests, const QString &file,
                                              const QString &sha512)
{
    // Without an expected digest the check is the signature check against file + ".sig".
    if (sha512.isEmpty()) {
        CheckSigFunc check(file, sha512);
        return check.run();
    }
    const QString hex = digests.digest(file);
    const bool match = !hex.isEmpty() && sha512.compare(hex, Qt::CaseInsensitive) == 0;
    qDebug() << "SHA512 check:" << sha512 << hex << "=>" << match;
    return match;
}

void MakeDownloadReplaceListFunc::reportProgress()
{
    ++m_Counter;
    emit progress(qreal(m_Counter) / qreal(m_Total));
}

void MakeDownloadReplaceListFunc::invalidLine(const QString &section)
{
    emit message(QString("Warning: product ini contains invalid line in section %1").arg(section));
}

bool MakeDownloadReplaceListFunc::run()
{
    m_Result->clear();
    const QString prodIni = m_Config->m_TempDir + "/" + productIniName(m_Config->m_ClientUpdate);
    qDebug() << "prodIni" << prodIni;
    emit message(QString("Compiling download and replace list for ") +
                 (m_Config->m_ClientUpdate == 0 ? "updater" : "client"));

    QSettings ini(prodIni, QSettings::IniFormat);
    const QStringList sections = ini.childGroups();
    // Keys with a "/" belong to their top-level section: they name files in subdirectories.
    QList<QStringList> sectionKeys;
    m_Total = 0;
    m_Counter = 0;
    for (const QString &s : sections) {
        ini.beginGroup(s);
        sectionKeys.append(ini.allKeys());
        ini.endGroup();
        m_Total += sectionKeys.last().size();
    }
    if (m_Total == 0) {
        emit message("No files in product ini");
        return false;
    }

    for (int i = 0; i < sections.size(); ++i) {
        const QString &section = sections.at(i);
        QStringList keys;
        QStringList patchKeys;
        for (const QString &k : sectionKeys.at(i))
            (k.endsWith(kPatchSuffix) ? patchKeys : keys).append(k);

        ini.beginGroup(section);
        PatchTable patches;
        for (const QString &p : patchKeys) {
            const QStringList f = valueText(ini, p).split("::");
            // The patch name and its target become paths in the session and install directories.
            if (f.size() != 5 || !isContainedPath(section) || !isContainedPath(p) ||
                !isContainedPath(f.at(4))) {
                invalidLine(section);
                return false;
            }
            const PatchEntry e{section, p, f.at(0), sizeField(f.at(1)), f.at(4), f.at(2), sizeField(f.at(3))};
            patches[e.target].append(e);
            qDebug() << "ADD PATCH" << e.target << e.key << e.patchSha512 << e.patchSize << e.baseSha512
                     << e.baseSize;
        }

        bool ok;
        if (section == "delete")
            ok = deleteSection(ini, keys);
        else if (section == "preinstall" || section == "postinstall")
            ok = commandSection(ini, section, keys);
        else
            ok = fileSection(ini, section, keys, patches);
        ini.endGroup();
        if (!ok)
            return false;
    }
    return true;
}

bool MakeDownloadReplaceListFunc::fileSection(QSettings &ini, const QString &section, const QStringList &keys,
                                              const PatchTable &patches)
{
    if (!keys.isEmpty() && !isContainedPath(section)) {
        invalidLine(section);
        return false;
    }
    const QString installDir = m_Config->m_InstallDir;
    const QString tempDir = m_Config->m_TempDir;
    DigestPipeline digests;
    for (const QString &k : keys) {
        const QStringList f = valueText(ini, k).split("::");
        if ((f.size() != 2 && f.size() != 5) || !isContainedPath(k) ||
            (f.size() == 5 && !isContainedPath(f.at(4))))
            continue;
        const QString installed = installDir + "/" + (f.size() == 5 ? f.at(4) : k);
        if (QFile::exists(installed))
            digests.add(installed);
    }
    digests.start();
    for (const QString &k : keys) {
        reportProgress();
        const QStringList f = valueText(ini, k).split("::");
        const bool packed = f.size() == 5;
        if (!isContainedPath(k) || (packed && !isContainedPath(f.at(4)))) {
            invalidLine(section);
            return false;
        }
        if (f.size() != 2 && !packed) {
            invalidLine(section);
            continue;
        }
        DownloadEntry d{section, k, f.at(0), sizeField(f.at(1))};
        ReplaceEntry r;
        r.section = section;
        r.name = k;
        if (packed) {
            r.targetSha512 = f.at(2);
            r.targetSize = sizeField(f.at(3));
            r.target = f.at(4);
        }
        const QString installedName = r.target.isEmpty() ? k : r.target;
        const QString installed = installDir + "/" + installedName;
        const bool exists = QFile::exists(installed);
        qDebug() << "CHECK PATCH" << r.target << exists << patches.contains(r.target);

        bool queue = !exists;
        bool patched = false;
        if (exists && !r.target.isEmpty() && patches.contains(r.target)) {
            const QList<PatchEntry> &candidates = patches[r.target];
            // The patch added last is tried first.
            for (int j = candidates.size() - 1; j >= 0; --j) {
                const PatchEntry &e = candidates.at(j);
                const bool match = fileMatches(digests, installed, e.baseSha512);
                qDebug() << "Check Sig" << installed << e.baseSha512 << "=>" << match;
                if (match) {
                    r.patchName = e.key;
                    d.name = e.key;
                    d.sha512 = e.patchSha512;
                    d.size = e.patchSize;
                    qDebug() << "Found patch for" << k << installed;
                    patched = true;
                    queue = true;
                    break;
                }
            }
        }
        if (exists && !patched) {
            const QString expected = r.target.isEmpty() ? d.sha512 : r.targetSha512;
            queue = !fileMatches(digests, installed, expected);
        }

        if (!queue) {
            if (m_Config->m_ClientUpdate == 0) {
                // The new updater copy is assembled in the session directory, unchanged files too.
                const QString dest = tempDir + "/" + installedName;
                const QString destDir = QFileInfo(dest).path();
                if (!QDir(destDir).exists())
                    QDir().mkpath(destDir);
                // A copy left by an earlier run of the session would make the copy fail.
                QFile::remove(dest);
                const bool copied = QFile::copy(installed, dest);
                qDebug() << "Copying updater files:" << installed << "to" << dest << copied;
            }
            continue;
        }

        m_Result->replaces.append(r);
        const QString local = tempDir + "/" + d.name;
        if (QFile::exists(local) && fileMatches(digests, local, d.sha512))
            continue;
        m_Result->downloads.append(d);
        qDebug() << "Queueing download:" << k;
    }
    return true;
}

bool MakeDownloadReplaceListFunc::deleteSection(QSettings &ini, const QStringList &keys)
{
    for (const QString &k : keys) {
        reportProgress();
        if (!isContainedPath(k)) {
            invalidLine("delete");
            return false;
        }
        if (!QFileInfo::exists(m_Config->m_InstallDir + "/" + k))
            continue;
        const int code = ini.value(k).toInt();
        if (code < 10 || code == 12)
            m_Result->deletes.append(DeleteEntry{k, code == 2});
    }
    return true;
}

bool MakeDownloadReplaceListFunc::commandSection(QSettings &ini, const QString &section,
                                                 const QStringList &keys)
{
    for (const QString &k : keys) {
        const QStringList list = ini.value(k).toStringList();
        qDebug() << "prepostinstall cmd" << k << "v" << list;
        if (list.isEmpty())
            continue;
        // The command runs from the installation: its name must stay inside it.
        if (!isContainedPath(k)) {
            invalidLine(section);
            return false;
        }
        const QStringList systems = list.at(0).split("::");
        QStringList args = list.size() > 1 ? list.at(1).split("::") : QStringList();
        qDebug() << "--->" << k << "os list" << systems << "args" << args;
        for (QString &a : args)
            a.replace(kDirPlaceholder, m_Config->m_InstallDir);
        qDebug() << "replaced args: " << args;
        for (const QString &s : systems) {
            if (osCode(s) != 4)
                continue;
            (section == "preinstall" ? m_Result->preInstall : m_Result->postInstall)
                .append(InstallCommand{k, args});
        }
    }
    return true;
}
