// Group commands: anti-passback entries, groups (a 16-byte member set sent in
// two halves), car-park groups and the open times of a lift's floors. The
// multi-frame ones stop at the first frame that is not answered; the frames
// before it stay applied in the controller.
#include "component/BasicCom.h"

#include "component/commands/Arguments.h"

#include <algorithm>

namespace {

using namespace norvik::args;

constexpr std::uint8_t kCodeGroup = 0x0F;
constexpr std::uint8_t kCodeAntiPassBack = 0x30;
constexpr std::uint8_t kCodeCarPark = 0x44;
constexpr std::uint8_t kCodeLiftOpenTime = 0x51;

constexpr std::size_t kMembers = 16;
constexpr std::size_t kHalf = kMembers / 2;
constexpr std::size_t kFloorsPerFrame = 10;

// The car-park unit needs 10 ms between two frames, so those frames wait
// before they are sent rather than after.
constexpr int kCarParkGapMs = 10;
// A lift unit needs 50 ms to store ten floor times before it answers.
constexpr int kLiftAnswerMs = 50;

// One half of a group: part 1 carries the value's high byte and members 8 to
// 15, part 0 the low byte and members 0 to 7.
using GroupFrame = std::uint8_t[3 + kHalf];

void FillGroupFrame(GroupFrame &data, int part, std::uint8_t group, std::uint16_t groupValue,
                    const std::vector<std::uint8_t> &members)
{
    data[0] = static_cast<std::uint8_t>(part);
    data[1] = group;
    data[2] = part == 1 ? High8(groupValue) : Low8(groupValue);
    const auto first = members.begin() + (part == 1 ? static_cast<std::ptrdiff_t>(kHalf) : 0);
    std::copy_n(first, kHalf, data + 3);
}

} // namespace

int TBasicCom::SendAntiPassBack(std::uint16_t number, std::uint8_t byteA, std::uint8_t byteB)
{
    const std::uint8_t data[4] = {High8(number), Low8(number), byteA, byteB};
    return TriStateStatus(Exchange(kCodeAntiPassBack, data, 4));
}

int TBasicCom::SendGroup(std::uint8_t group, std::uint16_t groupValue, const std::vector<std::uint8_t> &members)
{
    Exactly(members.size(), kMembers, "Members");
    GroupFrame data;
    FillGroupFrame(data, 1, group, groupValue, members);
    const int result = TriStateByCount(Exchange(kCodeGroup, data, sizeof data, PauseRuleB()));
    if (result != 1)
        return result;
    FillGroupFrame(data, 0, group, groupValue, members);
    return TriStateByCount(Exchange(kCodeGroup, data, sizeof data, PauseRuleB()));
}

int TBasicCom::SendCarParkGroup(std::uint8_t group, std::uint16_t groupValue, const std::vector<std::uint8_t> &members,
                                std::uint8_t byteA, std::uint8_t byteB)
{
    Exactly(members.size(), kMembers, "Members");
    GroupFrame data;
    FillGroupFrame(data, 1, group, groupValue, members);
    int result = TriStateByCount(Exchange(kCodeGroup, data, sizeof data));
    if (result != 1)
        return result;

    FillGroupFrame(data, 0, group, groupValue, members);
    Pause(kCarParkGapMs);
    result = TriStateByCount(Exchange(kCodeGroup, data, sizeof data));
    if (result != 1)
        return result;

    const std::uint8_t entry[3] = {group, byteA, byteB};
    Pause(kCarParkGapMs);
    return TriStateByCount(Exchange(kCodeCarPark, entry, 3));
}

int TBasicCom::SendCarParkGroupE(std::uint16_t number, std::uint8_t byteA, std::uint8_t byteB)
{
    const std::uint8_t data[4] = {High8(number), Low8(number), byteA, byteB};
    Pause(kCarParkGapMs);
    return TriStateByCount(Exchange(kCodeCarPark, data, 4));
}

// Ten floors per frame, part p carrying floors 10p to 10p + 9; false at the
// first part that is not answered with 7 bytes, and no later part is sent.
bool TBasicCom::SendLiftFloors(std::uint8_t unit, const std::vector<int> &floors, std::size_t count)
{
    const std::vector<std::uint8_t> seconds = ByteEntries(floors, count, "Floors");
    for (std::size_t part = 0; part * kFloorsPerFrame < count; ++part) {
        std::uint8_t data[2 + kFloorsPerFrame] = {unit, static_cast<std::uint8_t>(part)};
        std::copy_n(seconds.begin() + static_cast<std::ptrdiff_t>(part * kFloorsPerFrame), kFloorsPerFrame, data + 2);
        if (!LengthOnly(Exchange(kCodeLiftOpenTime, data, sizeof data, kLiftAnswerMs), 7))
            return false;
    }
    return true;
}

bool TBasicCom::SendSetLiftOpenTime(std::uint8_t unit, const std::vector<int> &floors)
{
    return SendLiftFloors(unit, floors, 40);
}

bool TBasicCom::SendSet80FloorOpenSecond(std::uint8_t unit, const std::vector<int> &floors)
{
    return SendLiftFloors(unit, floors, 80);
}
