#pragma once
// Where norvik-ctl's words go: results on stdout (human text, or one JSON
// object per command with --json), problems on stderr.
#include <QJsonObject>
#include <QString>

namespace ctl {

class Output {
public:
    explicit Output(bool json) : m_json(json) {}
    bool Json() const { return m_json; }

    // A line of the human result (stdout); nothing with --json.
    void Text(const QString &line) const;
    // A JSON object on one line (stdout); nothing without --json.
    void Object(const QJsonObject &object) const;
    // "norvik-ctl: <message>" on stderr, whatever the mode.
    void Error(const QString &message) const;
    // A remark on stderr without the program prefix (progress, hints).
    void Note(const QString &message) const;

    // Whether a JSON object has gone out, and the last error said: with --json a
    // command that ends without its own object still leaves one on stdout.
    bool ObjectWritten() const { return m_objectWritten; }
    QString LastError() const { return m_lastError; }

private:
    bool m_json;
    mutable bool m_objectWritten = false;
    mutable QString m_lastError;
};

// Writes text to stdout / stderr as UTF-8 and flushes, so that a pipe reader
// sees each line when it happens.
void WriteOut(const QString &text);
void WriteErr(const QString &text);

} // namespace ctl
