#pragma once
// Frame and boot-loader trace: off by default, switched on by
// QT_LOGGING_RULES="norvik.trace.debug=true" or by norvik-ctl --trace.
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcNorvikTrace)

namespace norvik {

// Logs one transfer: timestamp, direction ("TX"/"RX"), the link, hex dump and printable text.
void TraceBytes(const char *direction, const char *link, const unsigned char *data, int count);

} // namespace norvik
