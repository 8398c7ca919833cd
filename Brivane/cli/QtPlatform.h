#pragma once

#include "Brivane/desktop/DisplayStart.h"

#include <QByteArray>
#include <string>

namespace brivane {

// Qt aborts a GUI whose platform plugins are not installed. The line for the user when none of
// `platforms` can start because plugins are missing (an X11 one also needs DISPLAY); empty when
// one can. Looks at the plugins' metadata only, loading nothing.
std::string missingPlatformPlugin(const QByteArray& platforms);

} // namespace brivane
