#include "app/logpane.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

LogPane::LogPane(QTextEdit *textEdit, QObject *parent)
    : QObject(parent), edit(textEdit)
{
    // The log is trimmed in batches, and nothing in it is undone.
    edit->document()->setUndoRedoEnabled(false);
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &LogPane::flush);
    connect(edit, &QTextEdit::textChanged, this, &LogPane::onChanged);
}

void LogPane::append(const QString &line)
{
    closeLeftOut();
    pending.append(line);
    if (!timer.isActive())
        timer.start(flushMs);
}

bool LogPane::periodOver() const
{
    return !period.isValid() || period.elapsed() >= textPeriodMs;
}

bool LogPane::admitText(qint64 bytes)
{
    if (periodOver()) {
        period.start();
        periodTexts = 0;
        periodChars = 0;
    }
    if (periodTexts >= textsPerPeriod || periodChars >= textCharsPerPeriod) {
        leaveOutText(bytes);
        return false;
    }
    ++periodTexts;
    return true;
}

void LogPane::leaveOutText(qint64 bytes, qint64 texts)
{
    leftOutTexts += texts;
    leftOutBytes += bytes;
    if (!timer.isActive())
        timer.start(flushMs);
}

void LogPane::closeLeftOut()
{
    if (leftOutTexts == 0)
        return;
    pending.append(QStringLiteral("……已省略 %1 条文本（%2 字节）").arg(leftOutTexts).arg(leftOutBytes));
    leftOutTexts = 0;
    leftOutBytes = 0;
}

void LogPane::flush()
{
    timer.stop();
    const bool idle = pending.isEmpty();
    if (leftOutTexts > 0) {
        const qint64 rest = period.isValid() ? textPeriodMs - period.elapsed() : 0;
        if (rest > 0)
            timer.start(int(rest)); // the run may go on until its period ends
        else
            closeLeftOut();
    }
    insertLines();
    QTextDocument *doc = edit->document();
    // While lines keep coming the log may hold a batch more; once they stop it is cut back.
    if (doc->blockCount() > maxParagraphs + trimBatch || (idle && doc->blockCount() > maxParagraphs))
        trim(maxParagraphs);
    if (doc->blockCount() > maxParagraphs && !timer.isActive())
        timer.start(flushMs);
}

void LogPane::insertLines()
{
    if (pending.isEmpty())
        return;
    // As QTextEdit::append does it, line by line, but in one edit and one layout pass.
    QTextDocument *doc = edit->document();
    QScrollBar *bar = edit->verticalScrollBar();
    const QTextCursor editCursor = edit->textCursor();
    const bool atBottom = edit->isReadOnly() ? bar->value() >= bar->maximum() : editCursor.atEnd();
    flushing = true;
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    for (const QString &line : qAsConst(pending)) {
        if (!doc->isEmpty())
            cursor.insertBlock(editCursor.blockFormat(), editCursor.charFormat());
        else
            cursor.setCharFormat(editCursor.charFormat());
        if (Qt::mightBeRichText(line))
            cursor.insertHtml(line);
        else
            cursor.insertText(line);
    }
    cursor.endEditBlock();
    flushing = false;
    pending.clear();
    if (atBottom)
        bar->setValue(bar->maximum());
}

void LogPane::trim(int keep)
{
    QTextDocument *doc = edit->document();
    const int extra = doc->blockCount() - keep;
    if (extra <= 0)
        return;
    // Removing lines at the top lays the whole log out again: once per batch, not per line.
    flushing = true;
    QTextCursor cursor(doc);
    cursor.setPosition(doc->findBlockByNumber(extra).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    flushing = false;
}

void LogPane::onChanged()
{
    // Cleared from outside ("清理文本"): what was logged before goes too.
    if (flushing || !edit->document()->isEmpty())
        return;
    pending.clear();
    leftOutTexts = 0;
    leftOutBytes = 0;
}
