#include "host/preferences/PSViewController.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

std::string PSViewController::className() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = (status == 0 && readable) ? readable : mangled;
    std::free(readable);
    return name;
}

const std::shared_ptr<UIView>& PSViewController::view() {
    if (!view_) {
        view_ = std::make_shared<UIView>(CGRectMake(0, 0, kScreenWidth, kScreenHeight));
        loadView();
    }
    return view_;
}
