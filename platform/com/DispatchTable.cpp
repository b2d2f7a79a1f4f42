#include "com/DispatchTable.h"

#include <stdexcept>

#include "com/ErrorInfo.h"

namespace com {

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

VARTYPE vartypeOf(AutoType t) {
    switch (t) {
        case AutoType::Long:
            return VT_I4;
        case AutoType::Int:
            return VT_INT;
        case AutoType::Short:
            return VT_I2;
        case AutoType::Byte:
            return VT_UI1;
        case AutoType::Dispatch:
            return VT_DISPATCH;
        case AutoType::Unknown:
            return VT_UNKNOWN;
        case AutoType::Bool:
            return VT_BOOL;
        case AutoType::Double:
            return VT_R8;
        case AutoType::BStr:
        case AutoType::LpStr:
            return VT_BSTR;
        default:
            return VT_VARIANT;
    }
}

const char* kindName(MemberKind k) {
    switch (k) {
        case MemberKind::Method:
            return "method";
        case MemberKind::PropertyGet:
            return "property get";
        case MemberKind::PropertyPut:
            return "property put";
        default:
            return "property put-ref";
    }
}

bool isPut(MemberKind k) {
    return k == MemberKind::PropertyPut || k == MemberKind::PropertyPutRef;
}

}  // namespace

// DispCall

DispCall::Slot::~Slot() {
    if (disp) disp->Release();
    if (unk) unk->Release();
}

DispCall::Slot& DispCall::slot(std::size_t i, AutoType a, AutoType b) {
    anySlot(i);
    const auto t = member_->params[i].type;
    if (t != a && (b == AutoType::None || t != b))
        throw std::logic_error("dispatch thunk of " + std::string(member_->name) +
                               " reads parameter " + std::to_string(i) + " as another type");
    return slots_[i];
}

const DispCall::Slot& DispCall::anySlot(std::size_t i) const {
    if (!member_ || i >= member_->paramCount())
        throw std::logic_error("dispatch thunk of " + std::string(member_ ? member_->name : "?") +
                               " asks for parameter " + std::to_string(i) + " it does not have");
    return slots_[i];
}

std::int32_t& DispCall::lng(std::size_t i) {
    return slot(i, AutoType::Long, AutoType::Int).l;
}
std::int16_t& DispCall::i2(std::size_t i) {
    return slot(i, AutoType::Short).i2;
}
std::uint8_t& DispCall::ui1(std::size_t i) {
    return slot(i, AutoType::Byte).u8;
}
IDispatch*& DispCall::dispatch(std::size_t i) {
    return slot(i, AutoType::Dispatch).disp;
}
IUnknown*& DispCall::unknown(std::size_t i) {
    return slot(i, AutoType::Unknown).unk;
}
bool DispCall::isMissing(std::size_t i) const {
    return anySlot(i).missing;
}
VARIANT_BOOL& DispCall::boolean(std::size_t i) {
    return slot(i, AutoType::Bool).b;
}
double& DispCall::dbl(std::size_t i) {
    return slot(i, AutoType::Double).d;
}
std::string& DispCall::str(std::size_t i) {
    return slot(i, AutoType::BStr, AutoType::LpStr).s;
}
const char* DispCall::lpstr(std::size_t i) {
    return slot(i, AutoType::LpStr).s.c_str();
}
Variant& DispCall::var(std::size_t i) {
    auto& s = slot(i, AutoType::Variant);
    return s.target ? *s.target : s.v;
}
Variant* DispCall::varPtr(std::size_t i) {
    auto& s = slot(i, AutoType::VariantPtr, AutoType::Variant);
    return s.target ? s.target : &s.v;
}

// DispatchTable

const MemberDesc* DispatchTable::find(DISPID id, MemberKind kind) const {
    for (const auto& m : members_)
        if (m.dispId == id && m.kind == kind) return &m;
    return nullptr;
}

const MemberDesc* DispatchTable::findByName(std::string_view name) const {
    for (const auto& m : members_)
        if (equalNoCase(m.name, name)) return &m;
    return nullptr;
}

HRESULT DispatchTable::getIDsOfNames(std::span<const std::string_view> names, DISPID* ids) const {
    if (!ids) return E_POINTER;
    if (names.empty()) return E_INVALIDARG;
    for (std::size_t i = 0; i < names.size(); ++i) ids[i] = DISPID_UNKNOWN;
    const MemberDesc* m = findByName(names[0]);
    if (!m) return DISP_E_UNKNOWNNAME;
    ids[0] = m->dispId;
    HRESULT hr = S_OK;
    for (std::size_t i = 1; i < names.size(); ++i) {
        // Parameter names of any member of that name (a getter and a put share the id).
        for (const auto& other : members_) {
            if (other.dispId != m->dispId || !equalNoCase(other.name, m->name)) continue;
            for (std::size_t p = 0; p < other.argCount(); ++p)
                if (!other.params[p].name.empty() && equalNoCase(other.params[p].name, names[i]))
                    ids[i] = static_cast<DISPID>(p);
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT DispatchTable::invoke(void* self, DISPID id, std::uint16_t flags, const DispParams& params,
                              Variant* result, ExcepInfo* excepInfo, std::uint32_t* argErr) const {
    const MemberDesc* m = nullptr;
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        // A put-ref assigns an object reference, a put a value: neither stands in for the other.
        if (flags & DISPATCH_PROPERTYPUTREF) m = find(id, MemberKind::PropertyPutRef);
        if (!m && (flags & DISPATCH_PROPERTYPUT)) m = find(id, MemberKind::PropertyPut);
    } else {
        if (flags & DISPATCH_METHOD) m = find(id, MemberKind::Method);
        if (!m && (flags & DISPATCH_PROPERTYGET)) m = find(id, MemberKind::PropertyGet);
    }
    if (!m) return DISP_E_MEMBERNOTFOUND;
    if (!m->thunk) return E_NOTIMPL;

    const auto& args = params.args;
    const auto& named = params.namedArgs;
    const std::size_t nParams = m->paramCount();
    const std::size_t nArgs = m->argCount();
    if (named.size() > args.size()) return E_INVALIDARG;
    if (args.size() < m->requiredCount() || args.size() > nArgs) return DISP_E_BADPARAMCOUNT;
    auto fail = [argErr](HRESULT hr, std::size_t argIndex) {
        if (argErr) *argErr = static_cast<std::uint32_t>(argIndex);
        return hr;
    };

    // Which argument (index into args) each parameter takes.
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::array<std::size_t, kMaxParams> argOf;
    argOf.fill(kNone);
    for (std::size_t k = 0; k < named.size(); ++k) {
        std::size_t p = kNone;
        if (named[k] == DISPID_PROPERTYPUT && isPut(m->kind))
            p = nArgs - 1;
        else if (named[k] >= 0 && static_cast<std::size_t>(named[k]) < nArgs)
            p = static_cast<std::size_t>(named[k]);
        if (p == kNone || argOf[p] != kNone) return fail(DISP_E_PARAMNOTFOUND, k);
        argOf[p] = k;
    }
    const std::size_t positional = args.size() - named.size();
    for (std::size_t j = 0; j < positional; ++j) {
        const std::size_t argIndex = args.size() - 1 - j;
        if (argOf[j] != kNone) return fail(DISP_E_PARAMNOTFOUND, argOf[j]);
        argOf[j] = argIndex;
    }

    DispCall call;
    call.member_ = m;
    for (std::size_t p = 0; p < nParams; ++p) {
        const ParamDesc& pd = m->params[p];
        auto& slot = call.slots_[p];
        if (pd.dir == ParamDir::RetVal) continue;
        if (argOf[p] == kNone || args[argOf[p]].isMissing()) {
            if (!pd.optional)
                return argOf[p] == kNone ? DISP_E_PARAMNOTOPTIONAL
                                         : fail(DISP_E_PARAMNOTOPTIONAL, argOf[p]);
            slot.missing = true;
            if (pd.type == AutoType::Variant || pd.type == AutoType::VariantPtr)
                slot.v = Variant::missing();
            continue;
        }
        const Variant& a = args[argOf[p]];
        const bool byRefVariant = a.vt() == (VT_BYREF | VT_VARIANT) && a.refPointer();
        if (pd.type == AutoType::VariantPtr ||
            (pd.type == AutoType::Variant && pd.dir != ParamDir::In)) {
            if (byRefVariant) {
                slot.target = const_cast<Variant*>(&a.deref());
            } else if (pd.type == AutoType::VariantPtr) {
                slot.v = a;  // by-reference arrays and values stay references
            } else if (pd.dir == ParamDir::InOut) {
                slot.v = a.value();
            }
            continue;
        }
        if (pd.type == AutoType::Variant) {
            slot.v = a.value();
            continue;
        }
        if (pd.dir == ParamDir::Out) continue;
        Variant c;
        if (const HRESULT hr = ChangeType(c, a, vartypeOf(pd.type)); FAILED(hr))
            return fail(hr, argOf[p]);
        switch (pd.type) {
            case AutoType::Long:
                slot.l = c.i4();
                break;
            case AutoType::Int:
                slot.l = c.intVal();
                break;
            case AutoType::Short:
                slot.i2 = c.i2();
                break;
            case AutoType::Byte:
                slot.u8 = c.ui1();
                break;
            case AutoType::Dispatch:
                slot.disp = c.dispatch();
                if (slot.disp) slot.disp->AddRef();
                break;
            case AutoType::Unknown:
                slot.unk = c.unknown();
                if (slot.unk) slot.unk->AddRef();
                break;
            case AutoType::Bool:
                slot.b = c.boolVal();
                break;
            case AutoType::Double:
                slot.d = c.r8();
                break;
            default:
                slot.s = c.bstr();
                break;
        }
    }

    HRESULT hr = S_OK;
    std::optional<std::string> thrown;
    try {
        hr = m->thunk(self, call);
    } catch (const ComError& e) {
        hr = FAILED(e.hr()) ? e.hr() : E_UNEXPECTED;
        thrown = e.description();
    } catch (const std::exception& e) {
        hr = E_UNEXPECTED;
        thrown = e.what();
    } catch (...) {
        hr = E_UNEXPECTED;
        thrown = "unknown error";
    }
    if (FAILED(hr)) {
        auto info = takeErrorInfo();
        if (excepInfo) {
            *excepInfo = ExcepInfo{};
            excepInfo->scode = hr;
            if (thrown) {
                excepInfo->description = *thrown;
            } else if (info) {
                excepInfo->source = info->source;
                excepInfo->description = info->description;
                excepInfo->helpFile = info->helpFile;
                excepInfo->helpContext = info->helpContext;
            }
            if (excepInfo->description.empty()) excepInfo->description = hresultText(hr);
        }
        return DISP_E_EXCEPTION;
    }

    auto slotValue = [&call](std::size_t p, AutoType t) -> Variant {
        auto& s = call.slots_[p];
        switch (t) {
            case AutoType::Long:
                return Variant::fromI4(s.l);
            case AutoType::Int:
                return Variant::fromInt(s.l);
            case AutoType::Short:
                return Variant::fromI2(s.i2);
            case AutoType::Byte:
                return Variant::fromUI1(s.u8);
            case AutoType::Dispatch:
                return Variant(s.disp);
            case AutoType::Unknown:
                return Variant(s.unk);
            case AutoType::Bool:
                return Variant::fromBool(s.b != 0);
            case AutoType::Double:
                return Variant::fromR8(s.d);
            case AutoType::BStr:
            case AutoType::LpStr:
                return Variant(s.s);
            default:
                return s.target ? *s.target : s.v;
        }
    };
    for (std::size_t p = 0; p < nArgs; ++p) {
        const ParamDesc& pd = m->params[p];
        if (pd.dir == ParamDir::In || call.slots_[p].target || call.slots_[p].missing) continue;
        const Variant& a = args[argOf[p]];
        if (!a.isByRef()) continue;
        if (const HRESULT w = a.storeThroughRef(slotValue(p, pd.type)); FAILED(w))
            return fail(w, argOf[p]);
    }
    if (result && m->hasRetval()) *result = slotValue(nParams - 1, m->params[nParams - 1].type);
    return hr;
}

std::string DispatchTable::validate() const {
    for (std::size_t i = 0; i < members_.size(); ++i) {
        const auto& m = members_[i];
        const std::string where = std::string(m.name) + " (" + kindName(m.kind) + ")";
        if (m.name.empty()) return "member " + std::to_string(i) + " has no name";
        const auto n = m.paramCount();
        for (std::size_t p = n; p < kMaxParams; ++p)
            if (m.params[p].type != AutoType::None)
                return where + ": parameters after the end of the list";
        for (std::size_t p = 0; p + 1 < n; ++p)
            if (m.params[p].dir == ParamDir::RetVal) return where + ": retval is not last";
        if (m.kind == MemberKind::PropertyGet && !m.hasRetval())
            return where + ": a getter needs a retval";
        if (isPut(m.kind) && (n != 1 || m.params[0].dir != ParamDir::In || m.params[0].optional))
            return where + ": a put takes exactly one required in parameter";
        for (std::size_t p = 0; p < n; ++p) {
            if (!m.params[p].optional) continue;
            if (m.params[p].dir == ParamDir::RetVal) return where + ": a retval is not optional";
            if (m.params[p].type != AutoType::Variant && m.params[p].type != AutoType::VariantPtr)
                return where + ": only a VARIANT parameter can be optional";
            if (p + 1 < m.argCount() && !m.params[p + 1].optional)
                return where + ": a required parameter follows an optional one";
        }
        for (std::size_t j = 0; j < i; ++j) {
            const auto& o = members_[j];
            if (o.dispId == m.dispId && o.kind == m.kind)
                return where + ": dispatch id used twice for the same kind";
            if (o.dispId == m.dispId && !equalNoCase(o.name, m.name))
                return where + ": dispatch id shared with " + std::string(o.name);
            if (equalNoCase(o.name, m.name) && o.dispId != m.dispId)
                return where + ": name used with two dispatch ids";
        }
    }
    return {};
}

HRESULT invokeByName(IDispatch* object, std::string_view name, std::uint16_t flags,
                     const DispArgs& args, Variant* result, ExcepInfo* excepInfo,
                     std::uint32_t* argErr) {
    if (!object) return E_POINTER;
    DISPID id = DISPID_UNKNOWN;
    const std::string_view names[] = {name};
    if (const HRESULT hr = object->GetIDsOfNames(names, LOCALE_USER_DEFAULT, &id); FAILED(hr))
        return hr;
    DispParams p = args.params();
    DISPID putId = DISPID_PROPERTYPUT;
    if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) && p.namedArgs.empty() &&
        p.args.size() == 1)
        p.namedArgs = std::span<const DISPID>(&putId, 1);
    return object->Invoke(id, flags, p, result, excepInfo, argErr);
}

}  // namespace com
