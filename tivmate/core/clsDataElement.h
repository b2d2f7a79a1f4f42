#pragma once

#include <string>

namespace tivmate {

// A row of a documentation table.
struct clsDataElement {
    std::string name, descriptor, display, statusFlag;
};

}  // namespace tivmate
