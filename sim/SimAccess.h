#pragma once
// A controller's access-control memory: the transaction records waiting for the
// host (and all records ever stored, for the read by index), the sorted and the
// unsorted card list, and the special card settings (individual cards,
// emergency cards, the card ID mask and the card options).
#include "sim/SimReply.h"

#include <QDateTime>
#include <QJsonObject>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace nsim {

class SimAccess {
public:
    // cardBytes: width of the card numbers in transaction records (4, 7, 8 or
    // 12), as the controller's readers deliver them. recordMax: records that can
    // wait for the host at once. cardMax: cards both lists hold together.
    SimAccess(int cardBytes, std::uint16_t recordMax, std::uint16_t cardMax);

    // The reply to a request of this memory's codes (transaction reads and
    // their confirmation, card lists, special cards); nothing for other codes.
    std::optional<Reply> handle(std::uint8_t code, const QByteArray &data);

    // Stores `count` records at start, the last one stamped `now`, a second apart.
    void fill(int count, const QDateTime &now);
    // One card presented at a reader: a new record stamped with the controller's
    // clock. False when the memory is full (the record is lost, as on the device).
    bool addRecord(const QDateTime &when);

    // Until the host touches the records (or they are filled at start) the info
    // reply reports the configured counts; from then on the real ones.
    bool recordsInUse() const { return m_recordsInUse; }
    int recordsWaiting() const { return static_cast<int>(m_waiting.size()); }
    bool cardsInUse() const { return m_cardsInUse; }
    int sortedCount() const { return static_cast<int>(m_sorted.size()); }
    int unsortedCount() const { return static_cast<int>(m_unsorted.size()); }

    void addState(QJsonObject &o) const;

    // The read by index addresses records by a 16-bit position, and the record
    // tag is that position + 1: no more records than that are ever stored.
    static constexpr int kHistoryLimit = 0xFFFF;

private:
    struct Record {
        QByteArray card;  // cardBytes wide, most significant byte first
        QByteArray stamp; // year - 2000, month, day, hour, minute, second
        std::uint8_t event = 0;
    };
    struct Card {
        QByteArray card;     // the card bytes the frame carries (the unsorted list's key)
        char form = 'A';     // A, B, C, D, E or F (F and H frames are alike)
        bool flagged = false; // sorted frame sent as 0x34 rather than 0x24
        QByteArray zones;    // 4 bytes, when the zone field carries zones
        std::uint16_t code = 0;
        QByteArray start;    // 3 bytes, when the start-date field carries a date
        QByteArray end;      // 3 bytes
        QByteArray extra;    // D, E, F: the bytes after the record; B: 16 bytes; C: the raw text
        bool hasRecord = false; // A, D, E, F: zones, code and dates are meaningful
    };
    struct Individual {
        QByteArray card; // 4 bytes; FF FF FF FF stands for every card
        std::uint16_t number = 0;
        std::uint8_t value = 0;
        QByteArray date, first, second; // 3 bytes each
    };
    struct Emergency {
        QByteArray card; // 8 hexadecimal characters
        bool lock = false;
    };

    Reply readTransaction();
    Reply confirmTransaction(const QByteArray &data);
    Reply readByIndex(const QByteArray &data);
    Reply storeCard(std::uint8_t code, const QByteArray &data);
    Reply storeRecordCard(std::uint8_t code, const QByteArray &data, bool sorted);
    Reply store(std::uint8_t code, std::optional<std::uint16_t> index, Card card, bool remove);
    Reply specialCard(std::uint8_t code, const QByteArray &data);
    QByteArray recordBytes(std::size_t index, int cardWidth, std::uint8_t delivery) const;

    int m_cardBytes;
    std::uint16_t m_recordMax;
    std::uint16_t m_cardMax;
    bool m_recordsInUse = false;
    bool m_cardsInUse = false;
    std::vector<Record> m_history;  // every record stored, in order; index = position
    std::set<std::size_t> m_waiting; // positions not yet confirmed by the host
    std::map<std::uint16_t, Card> m_sorted;
    std::map<QByteArray, Card> m_unsorted;
    std::map<std::uint16_t, Individual> m_individual;
    std::map<std::uint8_t, Emergency> m_emergency;
    std::optional<std::pair<QByteArray, std::uint8_t>> m_mask; // 4 mask bytes, value
    bool m_allowAnyCard = false;
    std::uint16_t m_presentCardDelay = 0;
};

} // namespace nsim
