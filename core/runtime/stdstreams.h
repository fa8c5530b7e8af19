#pragma once

namespace ink {

// Opens /dev/null on each of the standard descriptors 0, 1 and 2 that is
// closed. Called first thing in main(): a program started with its output
// closed would otherwise get descriptor 1 or 2 for the next file it opens,
// and its messages would be written into that file.
void reopenClosedStandardStreams();

}  // namespace ink
