#include "common/Trace.h"

#include <QDateTime>
#include <QString>

Q_LOGGING_CATEGORY(lcNorvikTrace, "norvik.trace", QtInfoMsg)

namespace norvik {

void TraceBytes(const char *direction, const char *link, const unsigned char *data, int count)
{
    if (!lcNorvikTrace().isDebugEnabled())
        return;
    QString hex;
    QString text;
    for (int i = 0; i < count; ++i) {
        if (i)
            hex += QLatin1Char(' ');
        hex += QString::asprintf("%02X", data[i]);
        const unsigned char c = data[i];
        text += (c >= 32 && c < 127) ? QLatin1Char(static_cast<char>(c)) : QLatin1Char('.');
    }
    qCDebug(lcNorvikTrace).noquote()
        << QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz")) << direction << link
        << QString::number(count) + QStringLiteral(" bytes:") << hex << "|" + text + "|";
}

} // namespace norvik
