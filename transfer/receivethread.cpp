#include "transfer/receivethread.h"

#include "transfer/extframing.h"
#include "transfer/filedigest.h"
#include "transfer/receivefile.h"
#include "transfer/streamparser.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutexLocker>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

SharedString receiveDirPath;

void SharedString::set(const QString &newValue)
{
    QMutexLocker lock(&mutex);
    value = newValue;
}

QString SharedString::get() const
{
    QMutexLocker lock(&mutex);
    return value;
}

namespace {

// Reports wait here until the window takes them. Never destroyed, so that a thread still
// running at exit cannot touch a destroyed queue.
struct Reports {
    QMutex mutex;
    std::deque<RecvSnapshot> finished;
    std::deque<TextReport> texts;
    std::deque<FolderReport> folders;
    qint64 heldTextBytes = 0;
    RecvSnapshot lastFinished;
};

Reports &reports()
{
    static Reports *const instance = new Reports;
    return *instance;
}

} // namespace

namespace recvReports {

bool push(int code, const RecvSnapshot &snapshot)
{
    Reports &r = reports();
    QMutexLocker lock(&r.mutex);
    if (code == RecFinished) {
        r.finished.push_back(snapshot);
        r.lastFinished = snapshot;
    } else if (code == RecText) {
        if (r.texts.size() >= maxHeldTexts) {
            if (r.texts.back().leftOutTexts > 0) {
                ++r.texts.back().leftOutTexts;
                r.texts.back().leftOutBytes += snapshot.lastRecvText.size();
                return false;
            }
            TextReport fold;
            fold.present = true;
            fold.leftOutTexts = 1;
            fold.leftOutBytes = snapshot.lastRecvText.size();
            r.texts.push_back(std::move(fold));
            return true;
        }
        TextReport text;
        text.present = true;
        const qint64 size = snapshot.lastRecvText.size();
        if (r.heldTextBytes + size <= maxHeldTextBytes) {
            text.bytes = snapshot.lastRecvText;
            r.heldTextBytes += size;
        } else {
            text.leftOutBytes = size;
            text.leftOutTexts = 1;
        }
        r.texts.push_back(std::move(text));
    }
    return true;
}

void pushFolder(const FolderReport &folder)
{
    Reports &r = reports();
    QMutexLocker lock(&r.mutex);
    // The command line takes none: a peer's stream of empty folders must not make it grow.
    if (r.folders.size() >= maxHeldFolders)
        r.folders.pop_front();
    r.folders.push_back(folder);
}

FolderReport takeFolder()
{
    Reports &r = reports();
    QMutexLocker lock(&r.mutex);
    if (r.folders.empty())
        return FolderReport();
    FolderReport folder = std::move(r.folders.front());
    r.folders.pop_front();
    return folder;
}

TextReport takeText()
{
    Reports &r = reports();
    QMutexLocker lock(&r.mutex);
    if (r.texts.empty())
        return TextReport();
    TextReport text = std::move(r.texts.front());
    r.texts.pop_front();
    r.heldTextBytes -= text.bytes.size();
    return text;
}

RecvSnapshot take(int code)
{
    if (code == RecText) {
        RecvSnapshot snapshot;
        snapshot.lastRecvText = takeText().bytes;
        return snapshot;
    }
    Reports &r = reports();
    QMutexLocker lock(&r.mutex);
    if (code == RecFinished && !r.finished.empty()) {
        RecvSnapshot snapshot = std::move(r.finished.front());
        r.finished.pop_front();
        return snapshot;
    }
    return r.lastFinished;
}

void clear()
{
    Reports &r = reports();
    QMutexLocker lock(&r.mutex);
    r.finished.clear();
    r.texts.clear();
    r.folders.clear();
    r.heldTextBytes = 0;
    r.lastFinished = RecvSnapshot();
}

} // namespace recvReports

namespace {

struct Incoming {
    QMutex mutex;
    std::map<quint64, IncomingTransfer> byConnection;
};

Incoming &incoming()
{
    static Incoming *const instance = new Incoming; // never destroyed, as the reports
    return *instance;
}

} // namespace

QVector<IncomingTransfer> recvProgress::active()
{
    Incoming &in = incoming();
    QMutexLocker lock(&in.mutex);
    QVector<IncomingTransfer> list;
    list.reserve(int(in.byConnection.size()));
    for (const auto &entry : in.byConnection)
        list.append(entry.second);
    return list;
}

namespace {

// The parse state, open file and timer of one connection, and the codes its events give.
class ReceiveConnection final : public StreamSink, public ExtSink {
public:
    ReceiveConnection(receiveThread &engine, quint64 id) : engine(engine), parser(*this), id(id) {}
    ~ReceiveConnection() override { unlist(); }

    // backlog: more of this connection is already queued.
    void feed(const ReceivedPiece &piece, bool backlog)
    {
        openedInPiece = false;
        endedInPiece = false;
        progress = false;
        const bool continuing = storing();
        if (ext) {
            ext->feed(piece.bytes);
        } else if (piece.ownNonces.isEmpty()) {
            flushWatched();
            parser.feed(piece.bytes);
        } else {
            watchForUpgrade(piece);
        }
        flushAnswers();
        // A piece the parser only held back still continued the file.
        if (continuing && !endedInPiece && storing())
            progress = true;
        // One progress code per piece that only continued a file, as a plain data piece does;
        // but while pieces queue up the code waits for the last of them, since a queued signal
        // per piece would cost more than the write itself.
        if (progress && !backlog)
            notify(RecProgress);
    }

    // Milliseconds until the connection has been silent too long (0: it has); negative when
    // nothing waits for the timeout. Asked while the engine holds the queue's lock.
    qint64 msUntilExpiry() const
    {
        if (!pending())
            return -1;
        return qMax<qint64>(0, patienceMs() + 1 - engine.silentMs(id));
    }

    void timeout()
    {
        if (ext) {
            ext->finish();
            flushAnswers();
            return;
        }
        flushWatched();
        parser.timeout();
    }
    // An upgraded connection keeps its parser: a fresh one would not know the framing.
    bool idle() const { return !ext && !pending(); }

    // Shutdown: keep what has arrived, bytes held back included, without a code.
    void close()
    {
        closing = true;
        if (ext)
            ext->finish();
        else
            flushWatched();
        parser.timeout();
        file.abandon();
        unlist();
    }

    void text(const QByteArray &bytes) override
    {
        RecvSnapshot snapshot;
        snapshot.lastRecvText = bytes;
        report(RecText, snapshot);
    }

    bool fileOpened(const QString &name, std::optional<quint64> declaredSize) override
    {
        unlist();
        receivedName = name;
        if (engine.discardFiles.load()) {
            if (!closing)
                engine.postNotStored(RecRefused, name);
            return false;
        }
        if (!file.open(ReceiveFile::directoryFor(receiveDirPath.get()), name, declaredSize)) {
            notify(RecCreateFailed);
            return false;
        }
        openedInPiece = true;
        list(name, declaredSize.value_or(0));
        notify(RecStarted);
        return true;
    }

    bool fileData(const char *data, qsizetype size) override
    {
        if (!file.write(data, size)) {
            file.abandon();
            fail();
            return false;
        }
        progress = !openedInPiece;
        if (listed) {
            Incoming &in = incoming();
            QMutexLocker lock(&in.mutex);
            in.byConnection[id].received = file.written();
        }
        return true;
    }

    void fileFinished(quint64 streamBytes) override
    {
        unlist();
        progress = false;
        endedInPiece = true;
        if (!file.finish()) {
            fail();
            return;
        }
        RecvSnapshot snapshot;
        snapshot.recvFileBytes = file.written();
        snapshot.recvTotalBytes = streamBytes;
        snapshot.fileName = file.fileName();
        snapshot.replaced = file.replacedFile();
        report(RecFinished, snapshot);
    }

    void fileTimedOut(quint64) override { endUnfinished(file.abandon()); }

    // kept: what arrived of the file is where it belongs (its part, or nothing when empty).
    void endUnfinished(bool kept, int code = RecTimeout)
    {
        unlist();
        progress = false;
        endedInPiece = true;
        if (!kept) {
            fail();
            return;
        }
        notify(code);
    }

    // The extended framing of an upgraded direction.
    void offer(const QString &path, quint64 size, qint64 modified) override
    {
        unlist();
        file.abandonUnlessEmpty(); // an accepted offer the sender never started
        receivedName = path;
        // Until accepted, a start that follows at once (a small file sent without waiting for
        // the answer) is dropped with its data, quietly: the refusal already said why.
        extDiscarding = true;
        if (engine.discardFiles.load()) {
            if (!closing)
                engine.postNotStored(RecRefused, path);
            answer(extwire::refuse(extwire::RefuseReason::Busy));
            return;
        }
        // A path in a folder: its directories are made one by one, each checked on the disk.
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        const QString name = path.mid(slash + 1);
        const QString within = slash < 0 ? QString() : path.left(slash);
        bool known = false;
        auto dir = directoryOf(within, &known);
        // Parts are taken up a bounded number of times per connection: each answer tells of a
        // file already here.
        const auto openIn = [&] {
            return dir && file.open(dir, name, size, takeUps < maxTakeUps ? std::optional<qint64>(modified) : std::nullopt);
        };
        bool opened = openIn();
        if (!opened && known) { // removed or swapped since it was made: once more, from the disk
            forgetDirectories();
            dir = directoryOf(within);
            opened = openIn();
        }
        if (!opened) {
            notify(RecCreateFailed);
            answer(extwire::refuse(dir ? extwire::RefuseReason::CannotCreate : extwire::RefuseReason::PathRefused));
            return;
        }
        extDiscarding = false;
        // A part of this very file stays: the sender checks its prefix and sends the rest.
        digest.reset();
        acceptedAt = file.written() > 0 ? file.readBack(digest, receiveThread::resumeReadBudgetMs) : 0;
        if (acceptedAt > 0)
            ++takeUps;
        offerAt = ext->frameStart();
        openedInPiece = true;
        list(path, size);
        notify(RecStarted);
        answer(extwire::accept(acceptedAt, acceptedAt > 0 ? FileDigest::keyed(resumeKey, digest.result())
                                                          : QByteArray(extwire::digestSize, '\0')));
    }

    // From where it was accepted, or from 0 when the sender's file begins otherwise.
    void start(quint64 offset) override
    {
        if (extDiscarding || !file.isOpen() || offset == acceptedAt)
            return;
        if (offset == 0 && file.restart()) {
            digest.reset();
            return;
        }
        extDiscarding = true;
    }

    void data(const char *bytes, qsizetype size) override
    {
        if (extDiscarding)
            return;
        digest.add(bytes, size);
        extDiscarding = !fileData(bytes, size);
    }

    void fileEnd(const QByteArray &sent) override
    {
        using extwire::ResultStatus;
        unlist();
        progress = false;
        endedInPiece = true;
        if (extDiscarding || !file.isOpen()) {
            // Still open: started from an offset this end never offered.
            if (file.isOpen()) {
                file.abandon();
                notify(RecStreamFailed);
            }
            answer(extwire::result(ResultStatus::WriteFailed));
            return;
        }
        if (digest.result() != sent) {
            file.forgetModifiedTime(); // wrong bytes: not to be taken up again
            file.abandon();            // they stay as .part
            notify(RecVerifyFailed);
            answer(extwire::result(ResultStatus::DigestMismatch));
            return;
        }
        if (!file.finish()) {
            fail();
            answer(extwire::result(ResultStatus::WriteFailed));
            return;
        }
        RecvSnapshot snapshot;
        snapshot.recvFileBytes = file.written();
        snapshot.recvTotalBytes = ext->taken() - offerAt; // its frames, offer to end
        snapshot.fileName = file.fileName();
        snapshot.replaced = file.replacedFile();
        snapshot.resumedFrom = acceptedAt;
        report(RecFinished, snapshot);
        answer(extwire::result(ResultStatus::Stored));
    }

    // A folder's directories are made as they come, so that empty ones arrive too; one that
    // cannot be made is skipped, and the files beneath it are refused on their own.
    void folder(const QString &path, quint32 entries, quint64) override
    {
        forgetDirectories(); // a new folder is checked afresh
        makeDirectory(path);
        if (engine.discardFiles.load())
            return; // nobody takes its report
        tally.emplace();
        tally->report.name = path;
        tally->entries = entries;
        tally->clock.start();
    }
    void directory(const QString &path) override
    {
        makeDirectory(path);
        if (tally)
            ++tally->directories;
    }
    void folderEnd() override { endFolder(true); }

    void aborted(extwire::AbortReason) override
    {
        if (file.isOpen()) // nothing came: no empty part left behind
            endUnfinished(file.abandonUnlessEmpty(), RecSenderStopped);
        endFolder(false);
    }

    void accepted(quint64 offset, const QByteArray &prefix) override
    {
        engine.postAnswered(id, int(extwire::Type::Accept), offset, prefix);
    }
    void refused(extwire::RefuseReason reason) override
    {
        engine.postAnswered(id, int(extwire::Type::Refuse), quint64(reason), QByteArray());
    }
    void result(extwire::ResultStatus status) override
    {
        engine.postAnswered(id, int(extwire::Type::Result), quint64(status), QByteArray());
    }

    void failed(Error) override
    {
        unlist();
        progress = false;
        endedInPiece = true;
        if (!file.isOpen())
            receivedName.clear(); // outside a file: no file to name
        file.abandon();
        notify(RecStreamFailed);
        endFolder(false);
    }

private:
    // The folder arriving on this connection: its label and its summary count its files.
    struct FolderTally {
        FolderReport report;
        quint32 entries = 0; // announced: its files and directories
        int directories = 0;
        QElapsedTimer clock;
    };

    void endFolder(bool whole)
    {
        forgetDirectories();
        if (!tally)
            return;
        FolderReport done = std::move(tally->report);
        done.present = true;
        done.whole = whole;
        done.elapsedNs = tally->clock.nsecsElapsed();
        tally.reset();
        if (closing)
            return;
        recvReports::pushFolder(done);
        notify(RecFolderEnded);
    }

    bool pending() const
    {
        if (ext)
            return !ext->broken() && (ext->inFile() || ext->inFolder() || ext->heldBytes() > 0);
        return parser.pending() || !watched.isEmpty();
    }
    bool storing() const { return ext ? file.isOpen() && !extDiscarding : parser.storing(); }
    // On an upgraded connection the sender's stall detection decides, and an abort frame ends
    // a stopped transfer at once.
    qint64 patienceMs() const { return ext ? receiveThread::upgradedTimeoutMs : receiveThread::timeoutMs; }
    // Answers go in runs: one wake-up of the worker and one write for several small files,
    // rather than two of each per file; but not a whole piece's worth at once, which would
    // keep the sender waiting for the next files until the piece is done.
    void answer(const QByteArray &frame)
    {
        if (closing)
            return;
        answers += frame;
        if (++heldAnswers >= 16)
            flushAnswers();
    }
    void flushAnswers()
    {
        heldAnswers = 0;
        if (!answers.isEmpty())
            emit engine.answerPeer(id, std::exchange(answers, QByteArray()));
    }
    // Looked up once per setting rather than per file of a folder: it asks the system where the
    // program lives.
    QString receiveDirectory()
    {
        const QString configured = receiveDirPath.get();
        if (!resolvedDir || resolvedDir->first != configured)
            resolvedDir = std::make_pair(configured, ReceiveFile::directoryFor(configured));
        return resolvedDir->second;
    }
    void makeDirectory(const QString &path)
    {
        if (!engine.discardFiles.load())
            directoryOf(path);
    }
    // The directory of a path in the folder arriving, held open from the receive directory
    // down: a directory swapped for a link after it was made is not followed. Made from the
    // deepest directory held on its way, so that a tree's directories are opened once each,
    // not every component of every path again. known: a held handle was used, not the disk
    // alone.
    std::shared_ptr<const DirHandle> directoryOf(const QString &relative, bool *known = nullptr)
    {
        if (known)
            *known = false;
        const QString base = receiveDirectory();
        if (relative.isEmpty())
            return DirHandle::open(base);
        if (madeUnder != base) {
            forgetDirectories();
            madeUnder = base;
        }
        const auto from = std::max_element(madeDirs.cbegin(), madeDirs.cend(), [&](const auto &a, const auto &b) {
            return leadsTo(a.first, relative) < leadsTo(b.first, relative);
        });
        std::shared_ptr<const DirHandle> at;
        QStringList rest;
        const bool found = from != madeDirs.cend() && leadsTo(from->first, relative) > 0;
        if (known)
            *known = found || madeBase;
        if (found) {
            at = from->second;
            if (from->first.size() < relative.size())
                rest = relative.mid(from->first.size() + 1).split(QLatin1Char('/'));
        } else {
            if (!madeBase)
                madeBase = DirHandle::open(base);
            at = madeBase;
            rest = relative.split(QLatin1Char('/'));
        }
        // Its parent is held too: the next path is most often beside it or beneath it.
        if (rest.size() > 1) {
            const QString last = rest.takeLast();
            at = ReceiveFile::makeDirectories(at, rest);
            if (at)
                hold(relative.left(relative.size() - last.size() - 1), at);
            rest = QStringList{last};
        }
        at = ReceiveFile::makeDirectories(at, rest);
        if (at)
            hold(relative, at);
        return at;
    }
    // How many characters of relative the held path covers: 0 unless it is relative or one
    // of its parents.
    static qsizetype leadsTo(const QString &held, const QString &relative)
    {
        if (relative.size() == held.size())
            return relative == held ? held.size() : 0;
        return relative.size() > held.size() && relative.at(held.size()) == QLatin1Char('/')
                       && relative.startsWith(held)
                   ? held.size()
                   : 0;
    }
    // The most recent first; each held one is a descriptor.
    void hold(const QString &relative, std::shared_ptr<const DirHandle> dir)
    {
        const auto it = std::find_if(madeDirs.begin(), madeDirs.end(),
                                     [&relative](const auto &held) { return held.first == relative; });
        if (it != madeDirs.end())
            madeDirs.erase(it);
        madeDirs.emplace_front(relative, std::move(dir));
        if (madeDirs.size() > heldDirectories)
            madeDirs.pop_back();
    }
    void forgetDirectories()
    {
        madeDirs.clear();
        madeBase.reset();
    }


    // An instance's upgrade frame comes outside any transfer of the original framing; it is
    // taken out of the stream, and when it proves the connection the worker hears of it.
    void watchForUpgrade(const ReceivedPiece &piece)
    {
        QByteArray buf = watched + piece.bytes;
        watched.clear();
        while (!buf.isEmpty()) {
            qsizetype at = parser.pending() ? -1 : upgradeAt(buf);
            // A frame's zero byte continues no start marker: the held tail was text.
            if (at < 0 && parser.holdsTextTail() && buf.at(0) == '\0' && upgradeAt(buf) == 0) {
                parser.timeout();
                at = 0;
            }
            if (at != 0) {
                parser.feed(at < 0 ? buf : buf.left(at));
                buf = at < 0 ? QByteArray() : buf.mid(at);
                continue;
            }
            extwire::Upgrade upgrade;
            qsizetype used = 0;
            const extwire::Scan scan = extwire::scanUpgrade(buf.constData(), buf.size(), &upgrade, &used);
            if (scan == extwire::Scan::NeedMore) {
                watched = buf; // at most one frame
                return;
            }
            if (scan == extwire::Scan::No) {
                parser.feed(buf.left(1));
                buf = buf.mid(1);
                continue;
            }
            buf = buf.mid(used);
            if (!proves(upgrade, piece))
                continue;
            emit engine.peerUpgraded(id, upgrade.reply, upgrade.feature);
            // From the byte after the peer's reply its direction is extended framing.
            if (upgrade.reply && extwire::isFraming(upgrade.feature)) {
                resumeKey = upgrade.nonces;
                ext = std::make_unique<ExtParser>(*this);
                ext->feed(buf);
                return;
            }
        }
    }

    // Where a frame's magic, or a tail that may begin it, starts; -1 when nowhere.
    static qsizetype upgradeAt(const QByteArray &buf)
    {
        const qsizetype at = buf.indexOf(extwire::upgradeMagic);
        if (at >= 0)
            return at;
        for (qsizetype k = qMin(buf.size(), extwire::upgradeMagic.size() - 1); k > 0; --k) {
            if (buf.endsWith(extwire::upgradeMagic.left(k)))
                return buf.size() - k;
        }
        return -1;
    }

    static bool proves(const extwire::Upgrade &upgrade, const ReceivedPiece &piece)
    {
        const bool oneBit = upgrade.feature != 0 && (upgrade.feature & (upgrade.feature - 1)) == 0;
        if (!oneBit || !(upgrade.feature & piece.features))
            return false;
        for (const quint64 n : upgrade.nonces) {
            if (piece.ownNonces.contains(n))
                return true;
        }
        return false;
    }

    // Bytes held for a frame that did not come are the original framing's after all.
    void flushWatched()
    {
        if (!watched.isEmpty())
            parser.feed(std::exchange(watched, QByteArray()));
    }

    void report(int code, const RecvSnapshot &snapshot)
    {
        if (closing)
            return;
        if (tally && code == RecFinished) {
            ++tally->report.stored;
            tally->report.bytes += snapshot.recvFileBytes;
        }
        RecvSnapshot timed = snapshot;
        if (code == RecFinished)
            timed.elapsedNs = fileClock.isValid() ? fileClock.nsecsElapsed() : 0;
        if (recvReports::push(code, timed))
            notify(code);
    }

    void list(const QString &name, quint64 declaredSize)
    {
        Incoming &in = incoming();
        QMutexLocker lock(&in.mutex);
        IncomingTransfer &entry = in.byConnection[id];
        // A part taken up is here already: no progress of this transfer.
        entry = IncomingTransfer{id, name, declaredSize, file.written(), QString(), 0, 0};
        if (tally) {
            entry.folder = tally->report.name;
            entry.folderFilesDone = tally->report.stored + tally->report.failed;
            // The directories came first; each later entry is a file.
            entry.folderFiles = int(tally->entries) - tally->directories;
        }
        listed = true;
    }

    void unlist()
    {
        if (!listed)
            return;
        listed = false;
        Incoming &in = incoming();
        QMutexLocker lock(&in.mutex);
        in.byConnection.erase(id);
    }

    void notify(int code)
    {
        if (closing)
            return;
        if (code == RecStarted)
            fileClock.start();
        const bool notStored = code == RecCreateFailed || code == RecWriteFailed || code == RecTimeout
                               || code == RecVerifyFailed || code == RecStreamFailed || code == RecSenderStopped;
        if (tally && notStored && !receivedName.isEmpty())
            ++tally->report.failed;
        engine.postRecState(code);
        if (notStored)
            engine.postNotStored(code, receivedName);
    }

    void fail()
    {
        unlist();
        progress = false;
        notify(RecWriteFailed);
    }

    receiveThread &engine;
    StreamParser parser;
    QByteArray watched; // the beginning of what may be an upgrade frame
    std::unique_ptr<ExtParser> ext; // once the peer's direction is upgraded
    FileDigest digest;
    QByteArray answers; // to the peer, written in runs
    int heldAnswers = 0;
    bool extDiscarding = false; // the rest of this file is dropped (refused or not stored)
    quint64 offerAt = 0;        // where the file's offer began in the stream
    quint64 acceptedAt = 0;     // the offset this end answered the offer with
    QVector<quint64> resumeKey; // the nonces of the upgrade frame that switched the peer's direction
    int takeUps = 0;            // parts taken up on this connection
    static constexpr int maxTakeUps = 64;
    std::optional<std::pair<QString, QString>> resolvedDir; // setting, directory
    // Of the folder arriving, the directories used last: relative path, handle. Few, as each
    // is a descriptor and every connection may hold them.
    std::deque<std::pair<QString, std::shared_ptr<const DirHandle>>> madeDirs;
    static constexpr size_t heldDirectories = 4;
    std::shared_ptr<const DirHandle> madeBase; // the receive directory they were made in
    QString madeUnder;                         // its path
    ReceiveFile file;
    QString receivedName; // of the latest header, for the failure reports
    QElapsedTimer fileClock; // since the open file's start code
    bool openedInPiece = false;
    bool endedInPiece = false;
    bool closing = false;
    const quint64 id;
    bool listed = false; // has an entry in incoming()
    bool progress = false;
    std::optional<FolderTally> tally;
};

// Every connection that has something open or held back. A connection with nothing pending
// is dropped: a fresh one behaves the same.
class Connections {
public:
    explicit Connections(receiveThread &engine) : engine(engine) {}

    void handle(const ReceivedPiece &piece, bool backlog)
    {
        auto it = open.find(piece.connection);
        if (piece.endOfStream) {
            if (it != open.end()) {
                it->second->timeout();
                open.erase(it);
            }
            return;
        }
        if (piece.bytes.isEmpty())
            return;
        if (it == open.end())
            it = open.emplace(piece.connection, std::make_unique<ReceiveConnection>(engine, piece.connection)).first;
        it->second->feed(piece, backlog);
        if (it->second->idle())
            open.erase(it);
    }

    // Asked after every piece: the silences are read under one hold of the queue's lock, and
    // the timeouts run outside it.
    void expire()
    {
        std::vector<ReceiveConnection *> due;
        {
            QMutexLocker lock(&engine.queueMutex);
            for (const auto &entry : open) {
                if (entry.second->msUntilExpiry() == 0)
                    due.push_back(entry.second.get());
            }
        }
        for (ReceiveConnection *connection : due)
            connection->timeout();
        for (auto it = open.begin(); it != open.end();)
            it = it->second->idle() ? open.erase(it) : std::next(it);
    }

    QDeadlineTimer nextDeadline() const
    {
        qint64 wait = -1;
        for (const auto &entry : open) {
            const qint64 ms = entry.second->msUntilExpiry();
            if (ms >= 0 && (wait < 0 || ms < wait))
                wait = ms;
        }
        if (wait < 0)
            return QDeadlineTimer(QDeadlineTimer::Forever);
        return QDeadlineTimer(wait, Qt::PreciseTimer);
    }

    void closeAll()
    {
        for (auto &entry : open)
            entry.second->close();
        open.clear();
    }

private:
    receiveThread &engine;
    std::unordered_map<quint64, std::unique_ptr<ReceiveConnection>> open;
};

} // namespace

receiveThread::receiveThread()
    : dataQueue(new std::deque<ReceivedPiece>),
      startMarker(QString::fromUtf8(wire::startMarker)),
      endMarker(QString::fromUtf8(wire::endMarker)),
      sizeMarker(QString::fromUtf8(wire::sizeMarker)),
      sizeEndMarker(QString::fromUtf8(wire::sizeEndMarker)),
      codeBox(std::make_unique<Outbox>())
{
}

void receiveThread::postRecState(int state)
{
    codeBox->post([this, state] { emit sendRecState(state); });
}

void receiveThread::postNotStored(int state, const QString &name)
{
    codeBox->post([this, state, name] { emit fileNotStored(state, name); });
}

void receiveThread::postAnswered(quint64 connection, int type, quint64 value, const QByteArray &digest)
{
    if (!answerBox) {
        emit peerAnswered(connection, type, value, digest);
        return;
    }
    answerBox->post([this, connection, type, value, digest] { emit peerAnswered(connection, type, value, digest); });
}

void receiveThread::flushOutboxes(bool onlyDue)
{
    for (Outbox *box : {codeBox.get(), answerBox}) {
        if (box)
            onlyDue ? box->flushIfDue() : box->flush();
    }
}

receiveThread::~receiveThread()
{
    stopReceive();
    wait();
    delete dataQueue;
}

void receiveThread::appendPieces(const QList<ReceivedPiece> &pieces)
{
    if (pieces.isEmpty())
        return;
    std::vector<QByteArray> toFree; // freed here, after the unlock
    bool wasEmpty;
    {
        QMutexLocker lock(&queueMutex);
        // The engine waits only on an empty queue, and looks under this lock before it does.
        wasEmpty = dataQueue->empty();
        toFree.swap(spent);
        spentBytes = 0;
        qint64 added = 0;
        const qint64 now = steadyMs();
        for (const ReceivedPiece &piece : pieces) {
            if (piece.endOfStream)
                peers.remove(piece.connection);
            else
                peers.insert(piece.connection, PeerSeen{piece.peer, now});
            dataQueue->push_back(piece);
            added += piece.bytes.size();
        }
        queued += added;
        // The worker reads no socket until the drained notice: nobody's silence counts.
        if (queued.load() > highWater)
            heldOff = true;
    }
    if (wasEmpty)
        queueNotEmpty.wakeOne();
}

QString peerText::shown(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    QString text = QString::fromUtf8(zero < 0 ? bytes : bytes.left(zero));
    if (text.size() <= maxChars)
        return text;
    int keep = maxChars;
    if (text.at(keep - 1).isHighSurrogate())
        --keep;
    text.truncate(keep);
    return text + QChar(0x2026);
}

PeerKind receiveThread::peerKind(quint64 connection) const
{
    QMutexLocker lock(&queueMutex);
    return peers.value(connection).kind;
}

qint64 receiveThread::silentMs(quint64 connection) const
{
    const auto it = peers.constFind(connection);
    if (it == peers.constEnd() || heldOff)
        return 0;
    return steadyMs() - qMax(it->arrivedMs, drainedAtMs);
}

qint64 receiveThread::steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void receiveThread::stopReceive()
{
    QMutexLocker lock(&queueMutex);
    stopRequested = true;
    running = false;
    queueNotEmpty.wakeAll();
}

void receiveThread::run()
{
    Connections connections(*this);
    QMutexLocker lock(&queueMutex);
    running = !stopRequested;
    while (running) {
        if (dataQueue->empty()) {
            lock.unlock();
            flushOutboxes(false); // before a rest, what was held goes
            lock.relock();
        }
        if (dataQueue->empty()) {
            // Sleeps until a piece comes, the next held transfer or text times out, or a stop.
            queueNotEmpty.wait(&queueMutex, connections.nextDeadline());
            if (!running)
                break;
            if (dataQueue->empty()) {
                lock.unlock();
                connections.expire();
                lock.relock();
                continue;
            }
        }
        ReceivedPiece piece = std::move(dataQueue->front());
        dataQueue->pop_front();
        const bool backlog = !dataQueue->empty() && dataQueue->front().connection == piece.connection;
        const qint64 size = piece.bytes.size();
        const qint64 before = queued.fetch_sub(size);
        const bool drained = before >= lowWater && before - size < lowWater;
        if (drained) {
            drainedAtMs = steadyMs();
            heldOff = false;
        }
        lock.unlock();
        if (drained)
            emit queueDrained();
        connections.handle(piece, backlog);
        connections.expire();
        flushOutboxes(true);
        lock.relock();
        if (spentBytes + size <= maxSpentBytes) {
            spentBytes += size;
            spent.push_back(std::move(piece.bytes));
        }
    }
    stopRequested = false;
    lock.unlock();
    connections.closeAll();
    flushOutboxes(false);
}
