#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "fdt/PropertyBag.h"

namespace tivframe {

// The frame's project file: one DTM's property bag as XML.
//
//   <TivframeProject version="1">
//     <Dtm progId="Tivmate.DTMMain" tag="Tivframe1">
//       <Property name="PersistentCommTimeoutValue" type="string">2000</Property>
//       <Property name="PersistentDelay" type="bool">true</Property>
//     </Dtm>
//   </TivframeProject>
//
// Types: string, bool (true/false), int (decimal). Reading refuses files over kMaxProjectSize,
// more than kMaxProperties properties, and any property without a usable name, type or value,
// naming it.
inline constexpr std::size_t kMaxProjectSize = 1u << 20;
inline constexpr std::size_t kMaxProperties = 256;

struct Project {
    std::string progId = "Tivmate.DTMMain";
    std::string tag;
    com::ComPtr<fdt::PropertyBag> bag = fdt::PropertyBag::create();
};

// Throws std::runtime_error with a text naming the file and, where it applies, the property.
Project ReadProject(const std::filesystem::path& file);
void WriteProject(const std::filesystem::path& file, const Project& project);

}  // namespace tivframe
