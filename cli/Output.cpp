#include "cli/Output.h"

#include <QJsonDocument>

#include <cstdio>

namespace ctl {

void WriteOut(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

void WriteErr(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

void Output::Text(const QString &line) const
{
    if (!m_json)
        WriteOut(line + QLatin1Char('\n'));
}

void Output::Object(const QJsonObject &object) const
{
    if (!m_json)
        return;
    WriteOut(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    m_objectWritten = true;
}

void Output::Error(const QString &message) const
{
    m_lastError = message;
    WriteErr(QStringLiteral("norvik-ctl: ") + message + QLatin1Char('\n'));
}

void Output::Note(const QString &message) const
{
    WriteErr(message + QLatin1Char('\n'));
}

} // namespace ctl
