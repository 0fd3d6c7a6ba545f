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
    // The longest form that fits the bar: the window never grows for its text.
    const QString share = QString::number(transferProgressBar->value()) + QLatin1Char('%');
    const QString rate = rates::mbPerSecond(sendRate.bytesPerSecond()) + QStringLiteral("MB/s");
    const QString forms[] = {share + QStringLiteral("  ") + rate + QStringLiteral("  剩余") + rates::duration(seconds),
                             share + QStringLiteral("  ") + rate};
    const int room = transferProgressBar->contentsRect().width() - 12;
    QString text = share;
    for (const QString &form : forms) {
        if (transferProgressBar->fontMetrics().horizontalAdvance(form) <= room) {
            text = form;
            break;
        }
    }
    text.replace(share, QStringLiteral("%p%"));
    transferProgressBar->setFormat(text);
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
    // A peer's long name is cut in the middle rather than widening the window; its share and
    // rate always show.
    incomingLabel->setText(incomingMeter.fitted(incomingLabel->fontMetrics(), incomingLabel->maximumWidth()));
    incomingLabel->setToolTip(text);
    incomingLabel->show();
}
