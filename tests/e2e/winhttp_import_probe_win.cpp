// Imports WinHTTP the way the program once did: beside a planted winhttp.dll, and with the loader
// told to prefer native libraries, it loads the planted one. The test's proof that the plant works.
#include <windows.h>
#include <winhttp.h>

int wmain() { return WinHttpCheckPlatform() ? 0 : 1; }
