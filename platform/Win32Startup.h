// Settings that hold for the whole process, made once, first thing at start-up.
#pragma once

namespace quorvex {

// No system message box for a drive without a medium or a file the loader
// cannot open: every outcome belongs in the window's rows.
void ApplyProcessSettings();

}  // namespace quorvex
