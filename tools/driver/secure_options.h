// The driver's keys of secure ADS (options and configuration file): each sets one device
// column of the plug-in's secure transport.
#pragma once

#include <QMap>
#include <QString>

namespace driver {

// Keys as in the configuration file; on the command line with dashes (--tls-mode).
bool isSecureKey(const QString& key);
// Stores the value in `columns` under its device column; the reason when it is not valid.
QString applySecureKey(const QString& key, const QString& value, QMap<QString, QString>* columns);
void printSecureUsage();

} // namespace driver
