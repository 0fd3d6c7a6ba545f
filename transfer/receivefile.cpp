#include "transfer/receivefile.h"

#include "transfer/streamparser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

QString applicationDir()
{
    return QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QDir::currentPath();
}

bool sameName(const QString &a, const QString &b)
{
#ifdef Q_OS_WIN
    return a.compare(b, Qt::CaseInsensitive) == 0;
#else
    return a == b;
#endif
}

bool isApplicationDir(const QString &dir)
{
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    return !canonical.isEmpty() && sameName(canonical, QFileInfo(applicationDir()).canonicalFilePath());
}

// Renames from onto to, replacing what is there in one step where the system allows it.
bool replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
        != 0;
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

// A name for the bytes in transit that no peer's name can already hold: created exclusively,
// and short enough for any file system whatever the received name's length.
QString temporaryName(const QString &name)
{
    QString stem = name.left(40);
    if (!stem.isEmpty() && stem.at(stem.size() - 1).isHighSurrogate())
        stem.chop(1);
    return QStringLiteral("%1.%2%3")
        .arg(stem)
        .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
        .arg(ReceiveFile::partSuffix);
}

} // namespace

bool ReceiveFile::open(const QString &dir, const QString &name)
{
    abandon();
    count = 0;
    target.clear();
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return false;
#ifdef Q_OS_WIN
    if (isWindowsReservedName(name))
        return false;
#endif
    if (isProgramFile(name) && isApplicationDir(dir))
        return false;
    const QDir directory(dir);
    const QFileInfo info(directory.filePath(name));
    if (info.isSymLink() || (info.exists() && !info.isFile()))
        return false;
    // Unbuffered: each piece goes to the system in one call, and a failed write shows at once.
    // NewOnly: never opens what is already there, a planted link included.
    for (int attempt = 0; attempt < 8; ++attempt) {
        file.setFileName(directory.filePath(temporaryName(name)));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            target = info.filePath();
            return true;
        }
        if (!QFileInfo::exists(file.fileName()))
            return false; // not a name clash: the directory refuses
    }
    return false;
}

bool ReceiveFile::write(const char *data, qsizetype size)
{
    const qint64 n = file.write(data, size);
    if (n > 0)
        count += quint64(n);
    return n == size;
}

bool ReceiveFile::closeFile()
{
    bool flushed = false;
    for (int i = 0; i < flushAttempts && !flushed; ++i)
        flushed = file.flush();
    file.close(); // flushes once more and keeps any error of its own
    return flushed && file.error() == QFileDevice::NoError;
}

// Renames the temporary file onto path, replacing what is there: the name never shows a
// half-written file, only the old one or the new one.
bool ReceiveFile::moveTo(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile() && !info.isSymLink())
        return false;
    return replaceFile(file.fileName(), path);
}

bool ReceiveFile::finish()
{
    if (!file.isOpen())
        return false;
    if (closeFile() && moveTo(target))
        return true;
    moveTo(target + partSuffix);
    return false;
}

bool ReceiveFile::abandon()
{
    if (!file.isOpen())
        return true;
    const bool flushed = closeFile();
    moveTo(target + partSuffix);
    return flushed;
}

QString ReceiveFile::directoryFor(const QString &configured)
{
    const QString appDir = applicationDir();
    const QString base = keepsBesideProgram(appDir, QFileInfo(appDir).isWritable())
        ? appDir
        : QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return configured.isEmpty() ? base : QDir(base).filePath(configured);
}

bool ReceiveFile::keepsBesideProgram(const QString &appDir, bool appDirWritable)
{
    const QDir dir(appDir);
    const bool installed = dir.dirName() == QLatin1String("bin")
        && QFileInfo::exists(dir.filePath(QStringLiteral("../share/applications/org.lumo.transfer.desktop")));
    return appDirWritable && !installed;
}

bool ReceiveFile::isProgramFile(const QString &name)
{
    if (name.endsWith(QLatin1String(".dll"), Qt::CaseInsensitive))
        return true;
    QStringList own{QStringLiteral("settings.ini"), QStringLiteral("qt.conf")};
    if (QCoreApplication::instance())
        own << QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    for (const QString &program : own) {
        if (sameName(name, program))
            return true;
    }
    return false;
}
