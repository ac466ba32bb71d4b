#pragma once
// Enumerations shared by the component, its links and the applications.
#include <cstdint>

enum TConnectMethod : std::uint8_t { cmSerial = 0, cmTCPIP = 1, cmModem = 2 };

enum TDialupStatus : std::uint8_t {
    usOK = 0,
    usConnected = 1,
    usRing = 2,
    usNoCarrier = 3,
    usBusy = 4,
    usNoAnswer = 5,
    usError = 6,
    usNoDialTone = 7,
    usConnecting = 8,
    usTimeOut = 9,
};

enum TCardBytes : std::uint8_t { cbNormal = 0, cbCard7Bytes = 1, cbCard8Bytes = 2, cbCard12Bytes = 3 };
