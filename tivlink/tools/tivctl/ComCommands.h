#pragma once

// The automation commands of tivctl, which reach the driver the way clients do: through the
// registered module libtivlink.so and the COM runtime. `members` prints the registered type
// library as a table; `call` creates a TivDriver object by ProgID and calls one member by name
// through IDispatch.

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "Commands.h"
#include "com/TypeInfo.h"
#include "com/Variant.h"

namespace tivctl {

struct CallOptions {
    std::string member;
    std::vector<std::string> args;
};

// The argument text for one parameter as the variant Invoke gets: numbers (decimal, 0x hex,
// negative) for long and int, true/false/1/0/-1 for VARIANT_BOOL, the text itself for BSTR and
// LPSTR, and hex byte pairs ("0A0B", "-" or "" for none) for VARIANT data. Nullopt with `error`
// set when the text does not fit the type.
std::optional<com::Variant> ParseArgument(const com::ParamDesc& param, const std::string& text,
                                          std::string& error);

// A value a member handed back, for people: numbers in decimal, booleans true/false, byte arrays
// as upper-case hex, texts as they are; and as JSON (byte arrays as hex text).
std::string ValueText(const com::Variant& value);
nlohmann::json ValueJson(const com::Variant& value);

// "ReadData(in long Pos, in/out long Bytes, in VARIANT* Data) -> long Param2"
std::string Signature(const com::MemberDesc& member);

int RunMembers(const GlobalOptions& options);
int RunCall(const GlobalOptions& options, const CallOptions& call);

// The two commands on tivctl's command line.
class ComCommands {
public:
    explicit ComCommands(CLI::App& app);
    // The exit code of the command given, or nullopt when it was neither of these.
    std::optional<int> Run(const GlobalOptions& options) const;

private:
    CallOptions call_;
    CLI::App* membersCommand_ = nullptr;
    CLI::App* callCommand_ = nullptr;
};

}  // namespace tivctl
