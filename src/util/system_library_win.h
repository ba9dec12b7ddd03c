#pragma once
// A library of Windows' own that the program does not import. Imports are resolved by the loader
// before any line of ours runs, and for a library outside Windows' known-library list it looks in
// the program's folder first, where a downloaded DLL may wait; so every such library is loaded
// here, from the system folder only, the first time a part needs it.
#include <windows.h>

namespace varnel {

class SystemLibrary {
 public:
  // Loads `name` from System32, never from the program's folder or the search path. The library
  // stays loaded for the life of the process: the functions found in it are kept in tables.
  explicit SystemLibrary(const wchar_t* name) noexcept
      : module_(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)),
        error_(module_ ? ERROR_SUCCESS : GetLastError()) {}
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  // Sets `function` to the export `name`; false, with the reason in Error(), when the library or
  // the export is missing.
  template <typename Function>
  bool Find(Function*& function, const char* name) noexcept {
    function = nullptr;
    if (module_ == nullptr) return false;
    const FARPROC found = GetProcAddress(module_, name);
    if (found == nullptr) {
      error_ = GetLastError();
      return false;
    }
    // Through the generic function type, which converts to any other without a warning.
    function = reinterpret_cast<Function*>(reinterpret_cast<void (*)()>(found));
    return true;
  }

  // Why the library or the last export could not be found; ERROR_SUCCESS when all were.
  DWORD Error() const noexcept { return error_; }

 private:
  HMODULE module_;
  DWORD error_;
};

// Makes the system folder the only place the loader looks for a library, for the program's own
// loads and for those the system's libraries make on its behalf. The first call of the entry
// point. Should it fail, SystemLibrary's own loads still look nowhere else.
inline void LoadLibrariesOnlyFromSystem() noexcept {
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace varnel
