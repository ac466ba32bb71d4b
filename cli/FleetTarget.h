#pragma once
// One controller of a site's fleet: where it is reached, and what became of it.
#include "cli/Options.h"

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

namespace ctl {

struct FleetTarget {
    QString spec; // as the user wrote it: the target's name in every line and object
    LinkKind link = LinkKind::Network;
    QString host;    // network
    int udpPort = 1001;
    QString port;    // serial
    int id = 1;

    // "host:port" on the network, the port name on a serial line.
    QString Address() const;
    // Targets that share a link (one serial port, or one network endpoint in
    // front of a bus) must take turns: a boot loader reads every byte on its link.
    QString LinkKey() const;
    // The run's options with this target's link and ID.
    Options Apply(const Options &options) const;
};

// "HOST[:UDPPORT][/ID]" for the network link, "PORT/ID" for a serial port
// ("COMn" or a device path). A missing UDP port or ID is taken from the run's
// options. Raises UsageError for anything else.
FleetTarget ParseFleetTarget(const QString &spec, const Options &options);

// The --target values, then the lines of --targets (one SPEC a line, "#"
// starts a comment). Raises UsageError for a bad SPEC (naming the file and line),
// a controller named twice or no target at all, norvik::EInOutError when the
// file cannot be read.
QList<FleetTarget> FleetTargets(const Options &options);

// What one target's run found and did: everything an upgrade record holds.
struct FleetResult {
    int index = -1;   // the target's place in the list
    QString target;   // its SPEC
    QDateTime started, ended; // local time; invalid when the target was never started
    QString link;     // "serial" or "network"
    QString address;  // "host:port" or the port name
    int controllerId = -1;
    QString serialNumber, typeCode, versionBefore, versionAfter; // empty when not read
    QString fileName, fileSha256;
    int lines = 0;    // record lines the boot loader took
    int resends = 0;
    // download: "success", "current", "refused", "downloaded", "failure" or
    // "interrupted"; fleet verify: "verified", "mismatch", "failure" or "interrupted"
    QString outcome;
    QString message;
    bool mayRemainInBootLoader = false;
    qint64 elapsedMs = 0;

    bool Started() const { return started.isValid(); }
};

} // namespace ctl

Q_DECLARE_METATYPE(ctl::FleetResult)
