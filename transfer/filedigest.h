#ifndef LUMO_TRANSFER_FILEDIGEST_H
#define LUMO_TRANSFER_FILEDIGEST_H

#include <QByteArray>
#include <QVector>

#include <memory>

// The digest of a file between two instances: XXH3-128, taken while the bytes are read for
// sending and while they are written on receipt. Not a defence against a peer that lies,
// which could send any digest; it catches bytes changed between the two disks.
class FileDigest {
public:
    FileDigest();
    ~FileDigest();
    FileDigest(const FileDigest &) = delete;
    FileDigest &operator=(const FileDigest &) = delete;

    void reset();
    void add(const char *data, qsizetype size);
    // 16 bytes, the high half first.
    QByteArray result() const;
    // A receiver's answer that it holds a prefix: XXH3-128 over a tag, the nonces of the
    // upgrade frame that switched the connection (8 bytes each, little-endian) and the prefix's
    // digest. Tied to the connection, it can never be handed back as a file's digest.
    static QByteArray keyed(const QVector<quint64> &nonces, const QByteArray &digest);

private:
    struct State;
    std::unique_ptr<State> state;
};

#endif
