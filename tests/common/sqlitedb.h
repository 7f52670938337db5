// SPDX-License-Identifier: MIT
// A test's or tool's own hand on an SQLite file, through SQLite's C interface as the programs
// use it: open (making the file), run statements with values bound in order, and read rows back
// as text, each value written by its type (a whole REAL as "20", not SQLite's "20.0").
#pragma once

#include <QByteArray>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

#include <sqlite3.h>

namespace sqlitedb {

// One value of a result column as the tests compare it: integers in decimal, reals in their
// shortest round-trip form, text and blobs as UTF-8, NULL as nothing.
inline QString columnText(sqlite3_stmt *Statement, int Column)
{
    switch (sqlite3_column_type(Statement, Column)) {
    case SQLITE_INTEGER:
        return QString::number(sqlite3_column_int64(Statement, Column));
    case SQLITE_FLOAT:
        return QString::number(sqlite3_column_double(Statement, Column), 'g', QLocale::FloatingPointShortest);
    case SQLITE_NULL:
        return {};
    default:
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(Statement, Column)),
                                 sqlite3_column_bytes(Statement, Column));
    }
}

// One prepared statement, run as often as needed with new values.
class TStatement
{
public:
    TStatement(sqlite3 *Db, const QString &Sql)
    {
        const QByteArray text = Sql.toUtf8();
        sqlite3_prepare_v2(Db, text.constData(), int(text.size()), &m_statement, nullptr);
    }
    // Takes a statement already prepared.
    explicit TStatement(sqlite3_stmt *Prepared) : m_statement(Prepared) {}
    TStatement(const TStatement &) = delete;
    TStatement &operator=(const TStatement &) = delete;
    ~TStatement() { sqlite3_finalize(m_statement); }

    // Binds Values in order (text as text, a byte array as a blob, reals as reals, anything else
    // as an integer) and steps to the end; Rows, if given, gets each row's columns.
    bool run(const QVariantList &Values = {}, QList<QStringList> *Rows = nullptr)
    {
        if (!m_statement)
            return false;
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
        for (int k = 0; k < Values.size(); ++k)
            bind(k + 1, Values[k]);
        for (;;) {
            const int step = sqlite3_step(m_statement);
            if (step == SQLITE_DONE)
                return true;
            if (step != SQLITE_ROW)
                return false;
            if (Rows) {
                QStringList columns;
                for (int c = 0; c < sqlite3_column_count(m_statement); ++c)
                    columns << columnText(m_statement, c);
                Rows->append(columns);
            }
        }
    }

private:
    void bind(int Index, const QVariant &Value)
    {
        switch (Value.typeId()) {
        case QMetaType::UnknownType:
            sqlite3_bind_null(m_statement, Index);
            break;
        case QMetaType::QString: {
            const QByteArray text = Value.toString().toUtf8();
            sqlite3_bind_text(m_statement, Index, text.constData(), int(text.size()), SQLITE_TRANSIENT);
            break;
        }
        case QMetaType::QByteArray: {
            const QByteArray bytes = Value.toByteArray();
            sqlite3_bind_blob(m_statement, Index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
            break;
        }
        case QMetaType::Double:
        case QMetaType::Float:
            sqlite3_bind_double(m_statement, Index, Value.toDouble());
            break;
        default:
            sqlite3_bind_int64(m_statement, Index, Value.toLongLong());
        }
    }

    sqlite3_stmt *m_statement = nullptr;
};

// An open database file, made if missing; another program's lock is waited for up to five seconds.
class TDb
{
public:
    explicit TDb(const QString &Path)
    {
        const QByteArray path = Path.toUtf8();
        m_open =
            sqlite3_open_v2(path.constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
        sqlite3_busy_timeout(m_db, 5000);
    }
    TDb(const TDb &) = delete;
    TDb &operator=(const TDb &) = delete;
    ~TDb() { sqlite3_close_v2(m_db); }

    bool isOpen() const { return m_open; }
    sqlite3 *handle() const { return m_db; }
    QString error() const { return QString::fromUtf8(sqlite3_errmsg(m_db)); }

    // Runs every statement in Sql in turn, each with Values bound; false at the first failure.
    bool exec(const QString &Sql, const QVariantList &Values = {}) { return run(Sql, Values, nullptr); }

    // The rows of Sql's statements; Ok, if given, says whether all of them ran.
    QList<QStringList> query(const QString &Sql, const QVariantList &Values = {}, bool *Ok = nullptr)
    {
        QList<QStringList> rows;
        const bool ok = run(Sql, Values, &rows);
        if (Ok)
            *Ok = ok;
        return rows;
    }

private:
    bool run(const QString &Sql, const QVariantList &Values, QList<QStringList> *Rows)
    {
        if (!m_open)
            return false;
        const QByteArray text = Sql.toUtf8();
        const char *next = text.constData();
        while (next && *next) {
            sqlite3_stmt *raw = nullptr;
            if (sqlite3_prepare_v2(m_db, next, -1, &raw, &next) != SQLITE_OK)
                return false;
            if (!raw)
                continue; // only blanks or a comment left
            TStatement statement(raw);
            if (!statement.run(Values, Rows))
                return false;
        }
        return true;
    }

    sqlite3 *m_db = nullptr;
    bool m_open = false;
};

// One query's rows on the file at Path, each as its columns joined by blanks; a failure shows as
// one row "error: <SQLite's message>".
inline QStringList rows(const QString &Path, const QString &Sql)
{
    TDb db(Path);
    bool ok = false;
    const QList<QStringList> result = db.query(Sql, {}, &ok);
    if (!ok)
        return {QStringLiteral("error: ") + db.error()};
    QStringList out;
    for (const QStringList &columns : result)
        out << columns.join(QLatin1Char(' '));
    return out;
}

} // namespace sqlitedb
