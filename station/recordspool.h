#ifndef RECORDSPOOL_H
#define RECORDSPOOL_H

#include <QJsonObject>
#include <QList>
#include <QSqlDatabase>
#include <QString>

// Records on their way to a server, in a local SQLite file: each result is
// committed here (on disk when put() returns) before it is delivered, and
// removed only once the server has it. Several targets may share the file;
// each instance sees the records of its own. One instance per thread: the
// station adds, the courier delivers, each through its own connection.
class RecordSpool
{
public:
    struct Entry
    {
        qint64 id = 0; // grows with every record put, so the oldest goes first
        QJsonObject record;
    };

    RecordSpool() = default;
    RecordSpool(const RecordSpool &) = delete;
    RecordSpool &operator=(const RecordSpool &) = delete;
    ~RecordSpool() { close(); }

    // Synced: a commit is on disk when it returns (the station's puts).
    // Lazy: the courier's removals, which then never hold a put up for a
    // sync of their own; one lost to a power cut only means the record is
    // delivered again, and the server keeps it as one row.
    enum class Commits { Synced, Lazy };

    bool open(const QString &path, const QString &target, Commits commits, QString *error);
    // Opens an existing spool only to read it; no spool is no error.
    bool openToRead(const QString &path, const QString &target, QString *error);
    void close();
    bool isOpen() const { return !connection.isEmpty(); }

    // A later try of the same (run, unit) takes the place of the earlier.
    bool put(const QJsonObject &record, QString *error);
    // Records of this target not yet delivered; -1 when it cannot be read.
    int waiting(QString *error = nullptr) const;
    // Up to limit records with an id above after, oldest first.
    QList<Entry> after(qint64 after, int limit, QString *error) const;
    bool remove(qint64 id, QString *error);

private:
    bool openAs(const QString &path, const QString &target, bool onlyToRead, Commits commits,
                QString *error);
    QSqlDatabase database() const;

    QString connection;
    QString target;
    QString path;
};

#endif
