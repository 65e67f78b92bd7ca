#pragma once

/// What assistive tools (screen readers, the desktop's accessibility bus) see
/// of the program's own controls: the progress list and the search results as
/// lists whose rows are made only when asked for, the "Connect" label as a
/// push button, and the status strip as a status bar. The toolkit's own
/// controls need nothing here.
namespace Accessible {

/// Registers the program's interfaces with the toolkit; once is enough, later
/// calls do nothing. The controls concerned call it when they are made.
void install();

} // namespace Accessible
