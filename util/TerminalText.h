// Text from outside made safe to show on a terminal, and its width there.
#pragma once

#include <cstddef>
#include <string>

namespace kdl::util {

// `text` with every byte a terminal would act on written as \xNN: control
// characters (tabs too, unless `keepTabs`), DEL, C1 controls and bytes of no
// well-formed UTF-8 sequence. Printable ASCII and well-formed UTF-8 stay.
std::string EscapeForTerminal(const std::string& text, bool keepTabs = false);

// The number of characters (code points) of a text that EscapeForTerminal
// returned: the columns it takes, counting each character as one.
size_t DisplayWidth(const std::string& text);

}  // namespace kdl::util
