#pragma once

#include <QString>

// Asks the system not to sleep until a matching allowSleep(); requests are counted
// across the process, so every keepAwake needs its own allowSleep. The reason is
// shown by the system's power tools. `awayMode` has no meaning here and is ignored.
void keepAwake(bool awayMode = false, const QString& reason = QString());
void allowSleep();

// True when the machine runs on mains power or its power source is unknown.
bool isOnAcPower();
