#include "ComCommands.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "Decode.h"
#include "DriverClient.h"
#include "com/ComPtr.h"
#include "com/ErrorInfo.h"
#include "com/IDispatch.h"
#include "com/Registry.h"
#include "com/TypeLib.h"
#include "tivlink/ITivDriver.h"

namespace tivctl {

namespace {

std::string Lower(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string DispIdText(com::DISPID id) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(id));
    return buf;
}

const char* KindText(com::MemberKind kind) {
    switch (kind) {
        case com::MemberKind::Method:
            return "method";
        case com::MemberKind::PropertyGet:
            return "get";
        default:
            return "put";
    }
}

const char* DirText(com::ParamDir dir) {
    switch (dir) {
        case com::ParamDir::In:
            return "in";
        case com::ParamDir::Out:
            return "out";
        case com::ParamDir::InOut:
            return "in/out";
        default:
            return "retval";
    }
}

std::string ParamsText(const com::MemberDesc& m) {
    std::string s;
    for (std::size_t i = 0; i < m.argCount(); ++i) {
        const auto& p = m.params[i];
        if (!s.empty()) s += ", ";
        s += DirText(p.dir);
        s += " ";
        s += com::autoTypeName(p.type);
        if (!p.name.empty()) s += " " + std::string(p.name);
    }
    return s;
}

std::string ResultText(const com::MemberDesc& m) {
    if (!m.hasRetval()) return {};
    const auto& r = m.params[m.paramCount() - 1];
    return std::string(com::autoTypeName(r.type)) + " " + std::string(r.name);
}

// The runtime's error info after a failed runtime call, as text.

std::optional<std::int64_t> ParseInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value > (std::uint64_t{1} << 32)) return std::nullopt;
    return negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
}

}  // namespace

std::optional<com::Variant> ParseArgument(const com::ParamDesc& param, const std::string& text,
                                          std::string& error) {
    const std::string what = param.name.empty() ? "the value" : std::string(param.name);
    switch (param.type) {
        case com::AutoType::Long:
        case com::AutoType::Int: {
            const auto n = ParseInteger(text);
            // Hex up to 0xFFFFFFFF is taken as the 32-bit pattern it spells.
            if (!n || *n < INT32_MIN || *n > UINT32_MAX ||
                (*n > INT32_MAX && text.find_first_of("xX") == std::string::npos)) {
                error = what + ": \"" + text + "\" is not a 32-bit number";
                return std::nullopt;
            }
            const auto v = static_cast<std::int32_t>(static_cast<std::uint32_t>(*n));
            return param.type == com::AutoType::Int ? com::Variant::fromInt(v)
                                                    : com::Variant::fromI4(v);
        }
        case com::AutoType::Bool: {
            const auto t = Lower(text);
            if (t == "true" || t == "1" || t == "-1") return com::Variant(true);
            if (t == "false" || t == "0") return com::Variant(false);
            error = what + ": \"" + text + "\" is not true or false";
            return std::nullopt;
        }
        case com::AutoType::Double: {
            // from_chars: a Qt host sets the locale's decimal comma, the command line uses a point.
            double d = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
            if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
                error = what + ": \"" + text + "\" is not a number";
                return std::nullopt;
            }
            return com::Variant(d);
        }
        case com::AutoType::BStr:
        case com::AutoType::LpStr:
            return com::Variant(text);
        case com::AutoType::Variant:
        case com::AutoType::VariantPtr: {
            if (text.empty() || text == "-") return com::Variant();
            std::string why;
            const auto bytes = ParseHex(text, why);
            if (!bytes) {
                error = what + ": " + why;
                return std::nullopt;
            }
            return com::Variant::fromBytes(*bytes);
        }
        default:
            error = what + ": a parameter type tivctl cannot pass";
            return std::nullopt;
    }
}

std::string ValueText(const com::Variant& value) {
    const com::Variant v = value.value();
    if (v.vt() == (com::VT_ARRAY | com::VT_UI1)) {
        const auto bytes = v.array().span<const std::uint8_t>();
        return bytes.empty() ? "(no bytes)" : HexBytes(bytes);
    }
    if (v.vt() == com::VT_BOOL) return v.boolVal() ? "true" : "false";
    if (v.vt() == com::VT_BSTR) return v.bstr();
    if (v.vt() == com::VT_EMPTY) return "(empty)";
    if (const auto n = v.toInt64()) return std::to_string(*n);
    if (const auto d = v.toDouble()) {
        std::ostringstream s;
        s << std::setprecision(15) << *d;
        return s.str();
    }
    return v.describe();
}

nlohmann::json ValueJson(const com::Variant& value) {
    const com::Variant v = value.value();
    if (v.vt() == (com::VT_ARRAY | com::VT_UI1))
        return HexBytes(v.array().span<const std::uint8_t>());
    if (v.vt() == com::VT_BOOL) return v.boolVal() != 0;
    if (v.vt() == com::VT_BSTR) return v.bstr();
    if (v.vt() == com::VT_EMPTY) return nullptr;
    if (v.vt() == com::VT_R8 || v.vt() == com::VT_R4) return *v.toDouble();
    if (const auto n = v.toInt64()) return *n;
    return v.describe();
}

std::string Signature(const com::MemberDesc& member) {
    std::string s = std::string(member.name) + "(" + ParamsText(member) + ")";
    if (member.hasRetval()) s += " -> " + ResultText(member);
    return s;
}

int RunMembers(const GlobalOptions& options) {
    ChooseRegistry(options.registry);
    const com::TypeLibDesc* lib = nullptr;
    const com::HRESULT hr =
        com::LoadRegTypeLib(tivlink::LIBID_Tivlink, tivlink::kTivlinkLibMajor,
                            tivlink::kTivlinkLibMinor, tivlink::kTivlinkLibLcid, &lib);
    if (com::FAILED(hr) || lib == nullptr) {
        Error("cannot load the Tivlink type library (registry " + com::Registry::path().string() +
              "): " + ErrorText(hr) + "; register libtivlink.so with tivregsvr first");
        return kExitFailure;
    }
    for (const auto* itf : lib->interfaces) {
        const bool events = itf->kind == com::InterfaceKind::DispInterface;
        if (options.json) {
            for (const auto& m : itf->members) {
                nlohmann::json params = nlohmann::json::array();
                for (std::size_t i = 0; i < m.argCount(); ++i)
                    params.push_back({{"dir", DirText(m.params[i].dir)},
                                      {"type", com::autoTypeName(m.params[i].type)},
                                      {"name", m.params[i].name}});
                nlohmann::json row = {{"interface", itf->name},
                                      {"dispId", m.dispId},
                                      {"name", m.name},
                                      {"kind", events ? "event" : KindText(m.kind)},
                                      {"params", params}};
                if (m.hasRetval()) {
                    const auto& r = m.params[m.paramCount() - 1];
                    row["result"] = {{"type", com::autoTypeName(r.type)}, {"name", r.name}};
                } else {
                    row["result"] = nullptr;
                }
                PrintJson(row);
            }
            continue;
        }
        std::cout << (events ? "dispinterface " : "dual interface ") << itf->name << " "
                  << itf->iid.toString() << ", " << itf->members.size()
                  << (events ? " events" : " members") << "\n";
        std::cout << std::left << std::setw(8) << "DISPID" << std::setw(27) << "NAME"
                  << std::setw(8) << "KIND" << std::setw(48) << "PARAMETERS"
                  << "RESULT\n";
        for (const auto& m : itf->members) {
            const auto params = ParamsText(m);
            std::cout << std::left << std::setw(8) << DispIdText(m.dispId) << std::setw(27)
                      << std::string(m.name) << std::setw(8)
                      << (events ? "event" : KindText(m.kind)) << std::setw(48)
                      << (params.empty() ? "-" : params) << (m.hasRetval() ? ResultText(m) : "-")
                      << "\n";
        }
        std::cout << "\n";
    }
    std::cout.flush();
    return std::cout ? kExitOk : kExitFailure;
}

int RunCall(const GlobalOptions& options, const CallOptions& call) {
    if (const int code = InstallTransport(options); code != kExitOk) return code;
    ChooseRegistry(options.registry);
    com::ComPtr<com::IDispatch> driver;
    if (!CreateDriver(com::IID_IDispatch, driver.putVoid())) return kExitFailure;
    std::string error;

    const com::InterfaceDesc* info = nullptr;
    if (com::FAILED(driver->GetTypeInfo(0, com::LOCALE_USER_DEFAULT, &info)) || !info) {
        Error("the driver object does not describe its members");
        return kExitFailure;
    }
    // The member by name; a property is read without arguments and written with one.
    const com::MemberDesc* member = nullptr;
    const com::MemberDesc* getter = nullptr;
    const com::MemberDesc* putter = nullptr;
    for (const auto& m : info->members) {
        if (Lower(std::string(m.name)) != Lower(call.member)) continue;
        if (m.kind == com::MemberKind::Method) member = &m;
        if (m.kind == com::MemberKind::PropertyGet) getter = &m;
        if (m.kind == com::MemberKind::PropertyPut) putter = &m;
    }
    if (!member)
        member = call.args.empty() ? (getter ? getter : putter) : (putter ? putter : getter);
    if (!member) {
        Error("the driver has no member " + call.member + " (see tivctl members)");
        return kExitUsage;
    }
    if (call.args.size() != member->argCount()) {
        Error(std::string(member->name) + " takes " + std::to_string(member->argCount()) +
              " argument(s): " + Signature(*member));
        return kExitUsage;
    }

    // By-reference and pointer parameters get a variant of their own, printed afterwards.
    std::vector<com::Variant> natural;
    std::deque<com::Variant> outputs;
    std::vector<std::pair<std::string, const com::Variant*>> shown;
    for (std::size_t i = 0; i < member->argCount(); ++i) {
        const auto& p = member->params[i];
        auto value = ParseArgument(p, call.args[i], error);
        if (!value) {
            Error(error + " (" + Signature(*member) + ")");
            return kExitUsage;
        }
        if (p.dir == com::ParamDir::In && p.type != com::AutoType::VariantPtr) {
            natural.push_back(std::move(*value));
            continue;
        }
        outputs.push_back(std::move(*value));
        natural.push_back(com::Variant::byRef(&outputs.back()));
        shown.emplace_back(std::string(p.name), &outputs.back());
    }

    if (options.log) {
        const com::HRESULT logged =
            com::invokeByName(driver.get(), "LogFileOn", com::DISPATCH_PROPERTYPUT,
                              com::DispArgs{com::Variant(true)}, nullptr);
        if (com::FAILED(logged)) Error("cannot switch the log on: " + com::hresultText(logged));
    }

    const bool put = member->kind == com::MemberKind::PropertyPut;
    const com::DispArgs args =
        put ? com::DispArgs::propertyPut(natural.at(0)) : com::DispArgs(std::move(natural));
    const std::uint16_t flags = put ? com::DISPATCH_PROPERTYPUT
                                : member->kind == com::MemberKind::PropertyGet
                                    ? com::DISPATCH_PROPERTYGET
                                    : com::DISPATCH_METHOD;
    com::Variant result;
    com::ExcepInfo excep;
    std::uint32_t argErr = 0;
    const com::HRESULT hr =
        driver->Invoke(member->dispId, flags, args.params(), &result, &excep, &argErr);
    if (hr == com::DISP_E_EXCEPTION) {
        Error(std::string(member->name) + " failed with " + com::hresultText(excep.scode) +
              (excep.description.empty() ? "" : ": " + excep.description) +
              (excep.source.empty() ? "" : " (" + excep.source + ")"));
        return kExitFailure;
    }
    if (hr == com::DISP_E_TYPEMISMATCH || hr == com::DISP_E_OVERFLOW) {
        Error(std::string(member->name) + ": an argument does not fit its parameter (" +
              Signature(*member) + ")");
        return kExitUsage;
    }
    if (com::FAILED(hr)) {
        Error(std::string(member->name) + " could not be called: " + com::hresultText(hr));
        return kExitFailure;
    }

    const std::string resultName =
        member->hasRetval() ? std::string(member->params[member->paramCount() - 1].name) : "";
    if (options.json) {
        nlohmann::json j = {
            {"member", member->name}, {"kind", KindText(member->kind)}, {"dispId", member->dispId}};
        j["result"] = member->hasRetval() ? nlohmann::json{{resultName, ValueJson(result)}}
                                          : nlohmann::json(nullptr);
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [name, v] : shown) out[name] = ValueJson(*v);
        j["out"] = out;
        PrintJson(j);
    } else {
        std::cout << member->name << ": ";
        if (member->hasRetval())
            std::cout << resultName << " = " << ValueText(result) << "\n";
        else
            std::cout << (put ? "set" : "done") << "\n";
        for (const auto& [name, v] : shown)
            std::cout << "  " << name << " = " << ValueText(*v) << "\n";
        std::cout.flush();
    }
    return std::cout ? kExitOk : kExitFailure;
}

ComCommands::ComCommands(CLI::App& app) {
    membersCommand_ = app.add_subcommand(
        "members", "print the driver's registered type library: members, events, dispatch ids");

    callCommand_ = app.add_subcommand(
        "call",
        "create Tivlink.TivDriver through COM and call one member by name; numbers, true/false, "
        "text, or hex bytes (0A0B, - for none) for VARIANT data; prints the result and what "
        "came back by reference");
    callCommand_->add_option("member", call_.member, "member name, e.g. Version or SelectAdapter")
        ->required();
    callCommand_->add_option("args", call_.args, "the member's arguments in order");
    callCommand_->positionals_at_end();
}

std::optional<int> ComCommands::Run(const GlobalOptions& options) const {
    if (*membersCommand_) return RunMembers(options);
    if (*callCommand_) return RunCall(options, call_);
    return std::nullopt;
}

}  // namespace tivctl
