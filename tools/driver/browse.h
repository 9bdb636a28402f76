// The driver's browse mode: lists a PLC's variables from its symbol table.
#pragma once

#include <QMap>
#include <QString>

// Prints the symbols whose names start with `prefix` (any case), marks those an item can read
// and prints a ready --item option for each; structures are described by the PLC's data-type
// table, read only when a listed symbol is one, and with `members` their members are listed
// too. Returns the process exit code: 0, or 1 with the PLC's error text on the standard error
// stream. `secureColumns`: the device columns of secure ADS (empty: plain ADS).
int browsePlc(const QString& address, const QString& netId, int adsPort, int timeoutMs, const QString& prefix,
              bool members, const QMap<QString, QString>& secureColumns = {});
