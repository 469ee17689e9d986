#include "net/OpenSsl.h"

#include <dlfcn.h>

namespace {

// The library name of OpenSSL 3's ABI.
constexpr const char* kLibSsl = "libssl.so.3";

}  // namespace

const TOpenSsl* LoadOpenSsl(std::string* Error) {
    static TOpenSsl lib;
    static bool loaded = false;
    static std::string failure;
    if (!loaded && failure.empty()) {
        // Kept loaded for the rest of the process; its symbols stay out of
        // the global scope.
        void* handle = dlopen(kLibSsl, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = dlerror();
            failure = why ? why : kLibSsl;
        } else {
#define VESK_OPENSSL_LOOKUP(name)                                                   \
    lib.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));           \
    if (!lib.name && failure.empty()) failure = std::string(kLibSsl) + " has no " #name;
            VESK_OPENSSL_FUNCTIONS(VESK_OPENSSL_LOOKUP)
#undef VESK_OPENSSL_LOOKUP
            loaded = failure.empty();
        }
    }
    if (!loaded && Error) *Error = failure;
    return loaded ? &lib : nullptr;
}
