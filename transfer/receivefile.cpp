#include "transfer/receivefile.h"

#include "transfer/streamparser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

bool ReceiveFile::open(const QString &dir, const QString &name)
{
    abandon();
    count = 0;
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return false;
#ifdef Q_OS_WIN
    if (isWindowsReservedName(name))
        return false;
#endif
    const QString path = QDir(dir).filePath(name);
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isFile()))
        return false;
    file.setFileName(path);
    // Unbuffered: each piece goes to the system in one call, and a failed write shows at once.
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

bool ReceiveFile::write(const char *data, qsizetype size)
{
    const qint64 n = file.write(data, size);
    if (n > 0)
        count += quint64(n);
    return n == size;
}

bool ReceiveFile::finish()
{
    if (!file.isOpen())
        return false;
    bool flushed = false;
    for (int i = 0; i < flushAttempts && !flushed; ++i)
        flushed = file.flush();
    file.close(); // flushes once more and keeps any error of its own
    return flushed && file.error() == QFileDevice::NoError;
}

void ReceiveFile::abandon()
{
    if (file.isOpen())
        file.close();
}

QString ReceiveFile::directoryFor(const QString &configured)
{
    if (!configured.isEmpty())
        return configured;
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QDir::currentPath();
}
