#pragma once
// Collects the frame trace for as long as it lives: switches the trace on and
// keeps every line it logs, then puts back the previous handler and rules.
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

namespace norvik::test {

class TraceCapture {
public:
    TraceCapture()
    {
        s_lines.clear();
        QLoggingCategory::setFilterRules(QStringLiteral("norvik.trace.debug=true"));
        m_previous = qInstallMessageHandler(&TraceCapture::Keep);
    }
    ~TraceCapture()
    {
        qInstallMessageHandler(m_previous);
        QLoggingCategory::setFilterRules(QString());
    }
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    // The trace lines that contain text, in order.
    QStringList Lines(const QString &text) const { return s_lines.filter(text); }

private:
    static void Keep(QtMsgType, const QMessageLogContext &context, const QString &message)
    {
        if (context.category && qstrcmp(context.category, "norvik.trace") == 0)
            s_lines << message;
    }

    inline static QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};

} // namespace norvik::test
