// SharedLibrary: a library a feature opens with dlopen when a page first uses it
// (linked, it would be mapped at every start), and its functions looked up by name.

#ifndef FOUNDATION_SHARED_LIBRARY_H_
#define FOUNDATION_SHARED_LIBRARY_H_

#include <dlfcn.h>

#include "foundation/string.h"

class SharedLibrary {
  public:
    // feature: how messages begin ("TLS is not available: "); shortname: how they name
    // the library ("libssl"); file: what dlopen opens ("libssl.so.3").
    SharedLibrary(const char* feature, const char* shortname, const char* file)
        : feature_(feature), shortname_(shortname), file_(file) {}

    // Opens the library (it stays open for the process); false with error().
    bool Open() {
        handle_ = dlopen(file_, RTLD_NOW | RTLD_LOCAL);
        if (handle_ != nullptr) return true;
        const char* message = dlerror();
        error_ = String(feature_) + (message ? message : (String(file_) + " cannot be loaded"));
        return false;
    }
    // Looks up a function into *f; false with error() when the library lacks it.
    template <typename T>
    bool Find(const char* name, T* f) {
        *f = reinterpret_cast<T>(dlsym(handle_, name));
        if (*f == nullptr) error_ = String(feature_) + name + " is missing from " + shortname_;
        return *f != nullptr;
    }
    const String& error() const { return error_; }

  private:
    const char* feature_;
    const char* shortname_;
    const char* file_;
    void* handle_ = nullptr;
    String error_;
};

#endif  // FOUNDATION_SHARED_LIBRARY_H_
