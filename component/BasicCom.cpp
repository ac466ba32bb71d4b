#include "component/BasicCom.h"

#include "common/Sleeper.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

constexpr std::uint8_t kStartByte = 0x33;

// Largest n whose frame (n + 5 bytes) still fits the 256-byte request buffer.
constexpr int kMaxDataBytes = TBasicCom::RequestBufferMax + 1 - 5;

} // namespace

TBasicCom::TBasicCom(QObject *owner) : QObject(owner) {}

TBasicCom::~TBasicCom() = default;

std::uint8_t TBasicCom::CalCheckSum(const std::uint8_t *buffer, int count)
{
    unsigned sum = 0;
    for (int i = 0; i < count; ++i)
        sum += buffer[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

void TBasicCom::ClearBuffers(bool clearRequest, bool clearReply)
{
    if (clearRequest)
        std::memset(RequestBuffer, 0, sizeof RequestBuffer);
    if (clearReply)
        std::memset(ReplyBuffer, 0, sizeof ReplyBuffer);
}

// The debug log must never disturb the read that it records: every failure is
// swallowed and the caller keeps its own result.
void TBasicCom::AppendLogLine(const std::string &fileName, const std::string &line)
{
    // Blanks are spaces and control characters, as a trimmed name sees them.
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    if (std::all_of(fileName.begin(), fileName.end(), blank))
        return;

    std::FILE *file = nullptr;
    try {
        const std::string::size_type slash = fileName.find_last_of('/');
        if (slash != std::string::npos) {
            const std::filesystem::path folder(fileName.substr(0, slash + 1));
            std::error_code ec;
            if (!std::filesystem::is_directory(folder, ec)) {
                // Only the last level: a missing parent makes this fail, and we go on.
                std::filesystem::create_directory(folder, ec);
            }
        }
        // "a" creates the file when it is missing and appends otherwise.
        file = std::fopen(fileName.c_str(), "ab");
        if (!file)
            return;
        if (!line.empty()) {
            std::fwrite(line.data(), 1, line.size(), file);
            std::fwrite("\r\n", 1, 2, file);
        }
        std::fflush(file);
        std::fclose(file);
        file = nullptr;
    } catch (...) {
        if (file)
            std::fclose(file);
    }
}

std::string TBasicCom::DailyLogFileName() const
{
    return DailyLogFileName(DebugPath, QDate::currentDate());
}

std::string TBasicCom::DailyLogFileName(const std::string &debugPath, const QDate &date)
{
    return debugPath + "RX" + date.toString(QStringLiteral("yyyyMMdd")).toStdString() + ".txt";
}

// --- the exchange ----------------------------------------------------------------

int TBasicCom::BuildRequest(std::uint8_t address, std::uint8_t code, const std::uint8_t *data, int n)
{
    if (n < 0 || n > kMaxDataBytes || (n > 0 && !data))
        return 0;
    RequestBuffer[0] = kStartByte;
    RequestBuffer[1] = address;
    RequestBuffer[2] = code;
    RequestBuffer[3] = static_cast<std::uint8_t>(n);
    if (n > 0)
        std::memcpy(RequestBuffer + 4, data, static_cast<std::size_t>(n));
    RequestBuffer[4 + n] = CalCheckSum(RequestBuffer, 4 + n);
    return n + 5;
}

int TBasicCom::Exchange(std::uint8_t address, std::uint8_t code, const std::uint8_t *data, int n, int pauseMs)
{
    const int length = BuildRequest(address, code, data, n);
    if (length == 0)
        return 0;
    SendFrame(length);
    Pause(pauseMs);
    const int count = ReceiveFrame();
    if (count <= 0)
        m_lastReplyStatus = -1;
    else
        m_lastReplyStatus = count == 7 ? ReplyBuffer[5] : 0;
    return count;
}

int TBasicCom::Exchange(std::uint8_t code, const std::uint8_t *data, int n, int pauseMs)
{
    return Exchange(ControllerID, code, data, n, pauseMs);
}

void TBasicCom::SendOnly(std::uint8_t address, std::uint8_t code, const std::uint8_t *data, int n)
{
    const int length = BuildRequest(address, code, data, n);
    if (length != 0)
        SendFrame(length);
}

void TBasicCom::Pause(int milliseconds)
{
    if (milliseconds > 0)
        norvik::Sleep(milliseconds);
}

int TBasicCom::PauseRuleA() const
{
    if (SendAfterSleep == 0)
        return 50;
    return SendAfterSleep > 0 ? SendAfterSleep : 0;
}

int TBasicCom::PauseRuleB() const
{
    return SendAfterSleep > 0 ? SendAfterSleep : 0;
}

// --- result conventions ---------------------------------------------------------------

int TBasicCom::TriStateStatus(int count, int expected) const
{
    if (count != expected)
        return -1;
    return ReplyBuffer[5] == 0 ? 1 : 0;
}

bool TBasicCom::BoolStatus(int count, int expected) const
{
    return count == expected && ReplyBuffer[5] == 0;
}

bool TBasicCom::BoolStatusEcho(int count, std::uint8_t code, int expected) const
{
    return count == expected && ReplyBuffer[5] == 0 && ReplyBuffer[4] == code;
}

int TBasicCom::TriStateStatusEcho(int count, std::uint8_t code, int expected) const
{
    if (count != expected)
        return -1;
    return (ReplyBuffer[5] == 0 && ReplyBuffer[4] == code) ? 1 : 0;
}

bool TBasicCom::LengthOnly(int count, int expected)
{
    return count == expected;
}

int TBasicCom::TriStateByCount(int count, int expected)
{
    if (count == expected)
        return 1;
    return count == 0 ? -1 : 0;
}
