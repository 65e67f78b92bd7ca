#pragma once

#include <QString>

namespace LocalAddress {

/// This machine's IPv4 address as dotted text: the first address that is not
/// loopback on an interface that is up, or 127.0.0.1 when there is none.
QString detect();

} // namespace LocalAddress
