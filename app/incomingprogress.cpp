// Rates and the files arriving now: the sending bar's rate and time left, the reports' average
// rate lines, and the status-bar label of incoming files, polled only while something arrives.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QLabel>
#include <QProgressBar>

#include "transfer/receivethread.h"

QString MainWindow::rateLine(qint64 bytes, qint64 nsecs) const
{
    return QStringLiteral("平均速率:") + rates::mbPerSecond(bytes, nsecs) + QStringLiteral("MB/s\n");
}

void MainWindow::sampleSendRate()
{
    if (!sendTime.isValid())
        return;
    const qint64 read = sendWorker->fileBytesRead.load();
    if (!sendRate.sample(read, sendTime.elapsed()) || sendRate.bytesPerSecond() <= 0.0)
        return;
    const qint64 left = qMax<qint64>(0, sendWorker->fileSize.load() - read);
    const qint64 seconds = qint64(double(left) / sendRate.bytesPerSecond() + 0.5);
    transferProgressBar->setFormat(QStringLiteral("%p%  ") + rates::mbPerSecond(sendRate.bytesPerSecond())
                                   + QStringLiteral("MB/s  剩余") + rates::duration(seconds));
}

void MainWindow::pollIncoming()
{
    if (!incomingClock.isValid())
        incomingClock.start();
    const QString text = incomingMeter.update(recvProgress::active(), incomingClock.elapsed());
    if (text.isEmpty()) {
        incomingTimer.stop();
        incomingLabel->hide();
        return;
    }
    if (!incomingTimer.isActive())
        incomingTimer.start();
    incomingLabel->setText(text);
    incomingLabel->show();
}
