// A station recipe: the INI file an engineer prepares and the operator only opens. Section
// [Station]:
//   Package          the update package (a relative path is the recipe's folder's)
//   PackageSHA256    its SHA-256 in hex: a file with another hash is refused
//   Ports            port names or by-id paths, separated by ';' (1 to 8)
//   BootAll          0 or 1 (default 0)
//   Technology       0 or 1 (default 0); 1 needs HW and Pool
//   HW               the hardware version, 1-3 digits
//   Record           a record URL as on the command line (default: none; with a Pool, the
//                    station's own records.sqlite)
//   Pool             the serial-number pool (technology mode)
//   ProgramMismatch  continue or stop (default stop)
//   RemovalSeconds   silence that makes a device taken away, 0.5 to 3600 (default 5)
//   LeaseSize, LeaseRefill, LeaseHours
//                    the station's leases of pool numbers (defaults 200, 100, 12)
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

#include "Station.h"
#include "UpdatePackage.h"

namespace kvr::stationwin {

struct Recipe {
    QString path;  // the recipe file
    QString packagePath;
    QString packageSha256;  // lowercase
    UpdatePackage package;
    QStringList ports;
    bool bootAll = false;
    bool technology = false;
    QString hardware;
    QString record;  // as given (a relative sqlite: path is the recipe folder's); "default":
                     // the station's own; empty: none
    QString pool;
    bool continueOnProgramMismatch = false;
    uint32_t removalMs = station::kDefaultRemovalMs;
    int leaseSize = 0;  // 0: the defaults
    int leaseRefillBelow = 0;
    int64_t leaseLifetimeS = 0;
};

inline constexpr int kMaxLanes = 8;

// Reads and checks the recipe and loads its package. False with one line in `error` that names
// the key or the reason; `recipe` is untouched then.
bool LoadRecipe(const QString& path, Recipe& recipe, QString& error);

}  // namespace kvr::stationwin
