#pragma once

#include <string>

namespace tivmate {

// One row of the documentation document.
struct clsDataElement {
    std::string name;
    std::string descriptor;
    std::string display;
    std::string statusFlag;
};

}  // namespace tivmate
