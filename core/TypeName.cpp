#include "core/TypeName.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

std::string RuntimeClassName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                std::free);
    return std::string("class ") + (status == 0 && name ? name.get() : type.name());
}

CRITICAL_SECTION* TypeNameLock() {
    static CRITICAL_SECTION* lock = new CRITICAL_SECTION();
    return lock;
}
