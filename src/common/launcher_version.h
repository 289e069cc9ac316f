// The launcher's own version, for its version block and its log; plain
// defines so the resource compiler reads them too (a test build sets others).
#pragma once

#ifndef TOVRIN_LAUNCHER_VERSION
#define TOVRIN_LAUNCHER_VERSION 1, 0, 0, 0
#define TOVRIN_LAUNCHER_VERSION_TEXT "1.0.0.0"
#endif
