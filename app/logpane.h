#ifndef LUMO_APP_LOGPANE_H
#define LUMO_APP_LOGPANE_H

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

class QTextEdit;

// The window's log: lines wait in emission order and go in as one insertion per flush (a
// line at a time, with the trimming it brings, costs more the longer the log is); the pane
// keeps a bounded number of paragraphs; received texts faster than anyone reads cost only a
// count: each period shows its first few and then one line for the rest.
class LogPane : public QObject {
    Q_OBJECT
public:
    explicit LogPane(QTextEdit *edit, QObject *parent = nullptr);

    // The pane keeps this many paragraphs (up to trimBatch more while lines keep coming).
    static constexpr int maxParagraphs = 5000;
    static constexpr int trimBatch = 500;
    // Lines wait this long at most before they are inserted together.
    static constexpr int flushMs = 40;
    // Received texts shown per period; the rest of the period's texts become one line that
    // says how many were left out.
    static constexpr int textPeriodMs = 500;
    static constexpr int textsPerPeriod = 25;
    static constexpr int textCharsPerPeriod = 8000;

    // A line, after the report of any run of left-out texts before it.
    void append(const QString &line);
    // A received text of this many bytes: whether the period still has room for it. One
    // that has not is counted as left out. An admitted text's shown characters count too.
    bool admitText(qint64 bytes);
    void countTextChars(int chars) { periodChars += chars; }
    // A text left out before it reached the window (its bytes).
    void leaveOutText(qint64 bytes, qint64 texts = 1);
    // Inserts what waits; the report of left-out texts once their period is over.
    void flush();
    // Ends a run of left-out texts with its line now, period over or not.
    void closeLeftOut();
    bool periodOver() const;

private:
    void insertLines();
    void trim(int keep);
    void onChanged();

    QTextEdit *edit;
    QStringList pending;
    QTimer timer;
    bool flushing = false;
    QElapsedTimer period;
    int periodTexts = 0;
    int periodChars = 0;
    qint64 leftOutTexts = 0; // a run of left-out texts not yet reported
    qint64 leftOutBytes = 0;
};

#endif
