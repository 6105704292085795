#include "ui/Accessibility.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "platform/Win32Startup.h"
#include "ui/Layout.h"

namespace quorvex {

namespace {

using layout::Controls;
using layout::Kind;

// The painted labels with text, but not their shadows, which repeat them;
// the real controls.
constexpr bool IsExposed(const layout::Control& control) {
    switch (control.kind) {
        case Kind::Label:
            return control.shadowOf.empty() && !control.caption.empty();
        case Kind::TextBox:
        case Kind::Button:
            return true;
        case Kind::Line:
            return false;
    }
    return false;
}

constexpr std::size_t ExposedCount =
    static_cast<std::size_t>(std::count_if(std::begin(Controls), std::end(Controls), IsExposed));

// Child id n (from 1) is the control ExposedControls[n - 1]: layout order,
// which is reading order.
constexpr std::array<std::size_t, ExposedCount> ExposedControls = [] {
    std::array<std::size_t, ExposedCount> exposed{};
    std::size_t next = 0;
    for (std::size_t i = 0; i < layout::ControlCount; ++i) {
        if (IsExposed(Controls[i])) {
            exposed[next++] = i;
        }
    }
    return exposed;
}();

// The instruction above the folder text box, which asks for the folder.
constexpr std::size_t FolderPrompt = layout::IndexOf(L"Label3");

bool IsSelf(const VARIANT& child) { return V_VT(&child) == VT_I4 && V_I4(&child) == CHILDID_SELF; }

// What a child id names in the client area's object.
struct Child {
    enum { Self, Label, Control, Invalid } kind;
    std::size_t control;  // index in the layout table, for Label and Control
};

Child Resolve(const VARIANT& child) {
    if (V_VT(&child) != VT_I4) {
        return {Child::Invalid, 0};
    }
    const LONG id = V_I4(&child);
    if (id == CHILDID_SELF) {
        return {Child::Self, 0};
    }
    if (id < 1 || static_cast<std::size_t>(id) > ExposedCount) {
        return {Child::Invalid, 0};
    }
    const std::size_t control = ExposedControls[static_cast<std::size_t>(id) - 1];
    return {Controls[control].kind == Kind::Label ? Child::Label : Child::Control, control};
}

// What VariantInit does, without oleaut32 for it.
void EmptyVariant(VARIANT* out) { V_VT(out) = VT_EMPTY; }

// Answers of the client area's object about one of its children. Labels have
// no such text; the real controls answer through their own objects, which
// get_accChild hands out.
auto NoText(BSTR* out) {
    return [out](const Child& target) {
        *out = nullptr;
        return target.kind == Child::Label ? S_FALSE : E_INVALIDARG;
    };
}
// A number that only labels have here.
auto LabelNumber(LONG number, VARIANT* out) {
    return [number, out](const Child& target) {
        EmptyVariant(out);
        if (target.kind != Child::Label) {
            return E_INVALIDARG;
        }
        V_VT(out) = VT_I4;
        V_I4(out) = number;
        return S_OK;
    };
}
// An action or a change that labels do not support.
HRESULT Unsupported(const Child& target) {
    return target.kind == Child::Label ? DISP_E_MEMBERNOTFOUND : E_INVALIDARG;
}

HRESULT AllocateText(std::wstring_view text, BSTR* out) {
    const auto allocate = OleAut32().Find<decltype(&SysAllocStringLen)>("SysAllocStringLen");
    *out = allocate != nullptr ? allocate(text.data(), static_cast<UINT>(text.size())) : nullptr;
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

// An accessible object that answers through the standard object of its
// window for as long as it is connected; afterwards every call fails.
class StandardAccessible : public IAccessible,
                           public IOleWindow,
                           public RefCounted<StandardAccessible> {
  public:
    StandardAccessible(HWND window, ComPtr<IAccessible> standard)
        : handle_(window), standard_(std::move(standard)) {}
    virtual ~StandardAccessible() = default;
    StandardAccessible(const StandardAccessible&) = delete;
    StandardAccessible& operator=(const StandardAccessible&) = delete;

    // Lets go of the standard object and of every client in another
    // apartment; clients that call on regardless get CO_E_OBJNOTCONNECTED.
    virtual void Disconnect() {
        if (standard_) {
            if (const auto disconnect =
                    Ole32().Find<decltype(&CoDisconnectObject)>("CoDisconnectObject")) {
                disconnect(static_cast<IAccessible*>(this), 0);
            }
            standard_.reset();
        }
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (id == __uuidof(IUnknown) || id == __uuidof(IDispatch) || id == __uuidof(IAccessible)) {
            *object = static_cast<IAccessible*>(this);
        } else if (id == __uuidof(IOleWindow)) {
            *object = static_cast<IOleWindow*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(); }

    // IOleWindow
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
        *window = Connected() ? handle_ : nullptr;
        return Connected() ? S_OK : CO_E_OBJNOTCONNECTED;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        return Forward(&IAccessible::GetTypeInfoCount, count);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override {
        return Forward(&IAccessible::GetTypeInfo, index, locale, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID id, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) override {
        return Forward(&IAccessible::GetIDsOfNames, id, names, count, locale, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID id, LCID locale, WORD flags,
                                     DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                                     UINT* badArgument) override {
        return Forward(&IAccessible::Invoke, member, id, locale, flags, parameters, result,
                       exception, badArgument);
    }

    // IAccessible
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        return Forward(&IAccessible::get_accParent, parent);
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
        return Forward(&IAccessible::get_accChildCount, count);
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override {
        return Forward(&IAccessible::get_accChild, child, object);
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        return Forward(&IAccessible::get_accName, child, name);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        return Forward(&IAccessible::get_accValue, child, value);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) override {
        return Forward(&IAccessible::get_accDescription, child, description);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        return Forward(&IAccessible::get_accRole, child, role);
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        return Forward(&IAccessible::get_accState, child, state);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) override {
        return Forward(&IAccessible::get_accHelp, child, help);
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
        return Forward(&IAccessible::get_accHelpTopic, file, child, topic);
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) override {
        return Forward(&IAccessible::get_accKeyboardShortcut, child, shortcut);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) override {
        return Forward(&IAccessible::get_accFocus, child);
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* children) override {
        return Forward(&IAccessible::get_accSelection, children);
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
        return Forward(&IAccessible::get_accDefaultAction, child, action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override {
        return Forward(&IAccessible::accSelect, flags, child);
    }
    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                          VARIANT child) override {
        return Forward(&IAccessible::accLocation, left, top, width, height, child);
    }
    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
        return Forward(&IAccessible::accNavigate, direction, start, end);
    }
    HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* child) override {
        return Forward(&IAccessible::accHitTest, x, y, child);
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        return Forward(&IAccessible::accDoDefaultAction, child);
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override {
        return Forward(&IAccessible::put_accName, child, name);
    }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override {
        return Forward(&IAccessible::put_accValue, child, value);
    }

  protected:
    bool Connected() const { return static_cast<bool>(standard_); }
    // A call of the standard object's, made while connected.
    template <typename Method, typename... Arguments>
    HRESULT Forward(Method method, Arguments&&... arguments) const {
        return Connected() ? (standard_.get()->*method)(std::forward<Arguments>(arguments)...)
                           : CO_E_OBJNOTCONNECTED;
    }

  private:
    HWND handle_;
    ComPtr<IAccessible> standard_;
};

namespace {

// The main window's client area: the standard object answers for the area
// itself, and the children are the exposed controls of the layout table.
// Labels are simple elements (static text named by their current caption);
// the real controls are full objects, their windows' standard objects.
class ClientAccessible final : public StandardAccessible {
  public:
    ClientAccessible(const AccessibleView& window, const Oleacc& oleacc,
                     ComPtr<IAccessible> standard)
        : StandardAccessible(window.Handle(), std::move(standard)),
          window_(&window),
          oleacc_(&oleacc) {}

    void Disconnect() override {
        StandardAccessible::Disconnect();
        window_ = nullptr;
        oleacc_ = nullptr;
    }

    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
        if (!Connected()) {
            return StandardAccessible::get_accChildCount(count);
        }
        *count = static_cast<LONG>(ExposedCount);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override {
        *object = nullptr;
        const Child target = Resolve(child);
        if (!Connected()) {
            return CO_E_OBJNOTCONNECTED;
        }
        if (target.kind == Child::Label) {
            return S_FALSE;  // a simple element: the client asks this object about it
        }
        if (target.kind == Child::Control) {
            return oleacc_->AccessibleObjectFromWindow(
                window_->ControlWindow(target.control), static_cast<DWORD>(OBJID_WINDOW),
                __uuidof(IDispatch), reinterpret_cast<void**>(object));
        }
        return E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        return OwnOrStandard(
            child,
            [&](const Child& target) {
                return target.kind == Child::Label
                           ? AllocateText(window_->Caption(target.control), name)
                           : NoText(name)(target);
            },
            &IAccessible::get_accName, child, name);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        return OwnOrStandard(child, NoText(value), &IAccessible::get_accValue, child, value);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) override {
        return OwnOrStandard(child, NoText(description), &IAccessible::get_accDescription, child,
                             description);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        return OwnOrStandard(child, LabelNumber(ROLE_SYSTEM_STATICTEXT, role),
                             &IAccessible::get_accRole, child, role);
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        return OwnOrStandard(
            child,
            [&](const Child& target) {
                const bool shown = IsWindowVisible(window_->Handle()) != FALSE;
                const LONG flags = STATE_SYSTEM_READONLY | (shown ? 0 : STATE_SYSTEM_INVISIBLE);
                return LabelNumber(flags, state)(target);
            },
            &IAccessible::get_accState, child, state);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) override {
        return OwnOrStandard(child, NoText(help), &IAccessible::get_accHelp, child, help);
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
        return OwnOrStandard(
            child,
            [&](const Child& target) {
                *topic = 0;
                return NoText(file)(target);
            },
            &IAccessible::get_accHelpTopic, file, child, topic);
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) override {
        return OwnOrStandard(child, NoText(shortcut), &IAccessible::get_accKeyboardShortcut, child,
                             shortcut);
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
        return OwnOrStandard(child, NoText(action), &IAccessible::get_accDefaultAction, child,
                             action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override {
        return OwnOrStandard(child, Unsupported, &IAccessible::accSelect, flags, child);
    }
    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                          VARIANT child) override {
        return OwnOrStandard(
            child,
            [&](const Child& target) {
                *left = *top = *width = *height = 0;
                if (target.kind != Child::Label) {
                    return E_INVALIDARG;
                }
                const RECT box = ScreenBox(target.control);
                *left = box.left;
                *top = box.top;
                *width = box.right - box.left;
                *height = box.bottom - box.top;
                return S_OK;
            },
            &IAccessible::accLocation, left, top, width, height, child);
    }
    // Next and previous in reading order, and the first and last child;
    // the standard object goes on answering for the client area itself.
    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
        const Child from = Resolve(start);
        if (!Connected() || (from.kind == Child::Self && direction != NAVDIR_FIRSTCHILD &&
                             direction != NAVDIR_LASTCHILD)) {
            return StandardAccessible::accNavigate(direction, start, end);
        }
        EmptyVariant(end);
        if (from.kind == Child::Invalid) {
            return E_INVALIDARG;
        }
        LONG id = 0;
        if (from.kind == Child::Self) {
            id = direction == NAVDIR_FIRSTCHILD ? 1 : static_cast<LONG>(ExposedCount);
        } else if (direction == NAVDIR_NEXT) {
            id = V_I4(&start) + 1;
        } else if (direction == NAVDIR_PREVIOUS) {
            id = V_I4(&start) - 1;
        } else if (direction == NAVDIR_FIRSTCHILD || direction == NAVDIR_LASTCHILD) {
            return S_FALSE;  // no children of its own
        } else {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (id < 1 || static_cast<std::size_t>(id) > ExposedCount) {
            return S_FALSE;
        }
        return ChildVariant(id, end);
    }
    HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* child) override {
        if (Connected() && IsWindowVisible(window_->Handle()) != FALSE) {
            for (std::size_t n = 0; n < ExposedCount; ++n) {
                const std::size_t control = ExposedControls[n];
                if (Controls[control].kind != Kind::Label) {
                    continue;  // the standard object finds the real controls
                }
                const RECT box = ScreenBox(control);
                if (PtInRect(&box, POINT{x, y}) != FALSE) {
                    V_VT(child) = VT_I4;
                    V_I4(child) = static_cast<LONG>(n + 1);
                    return S_OK;
                }
            }
        }
        return StandardAccessible::accHitTest(x, y, child);
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        return OwnOrStandard(child, Unsupported, &IAccessible::accDoDefaultAction, child);
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override {
        return OwnOrStandard(child, Unsupported, &IAccessible::put_accName, child, name);
    }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override {
        return OwnOrStandard(child, Unsupported, &IAccessible::put_accValue, child, value);
    }

  private:
    // The child a call is about when this object answers for it (a label or
    // a real control); nothing when the standard object answers (the client
    // area itself, or every call once disconnected).
    std::optional<Child> OwnChild(const VARIANT& child) const {
        const Child target = Resolve(child);
        if (!Connected() || target.kind == Child::Self) {
            return std::nullopt;
        }
        return target;
    }

    // What this object answers for a child of its own, or else the standard
    // object's answer to the same call.
    template <typename Own, typename Method, typename... Arguments>
    HRESULT OwnOrStandard(const VARIANT& child, Own own, Method method, Arguments&&... arguments) {
        if (const std::optional<Child> target = OwnChild(child)) {
            return own(*target);
        }
        return Forward(method, std::forward<Arguments>(arguments)...);
    }

    RECT ScreenBox(std::size_t control) const {
        RECT box = window_->PixelBox(control);
        MapWindowPoints(window_->Handle(), nullptr, reinterpret_cast<POINT*>(&box), 2);
        return box;
    }
    // A label as its id, a real control as its object.
    HRESULT ChildVariant(LONG id, VARIANT* out) const {
        const std::size_t control = ExposedControls[static_cast<std::size_t>(id) - 1];
        if (Controls[control].kind == Kind::Label) {
            V_VT(out) = VT_I4;
            V_I4(out) = id;
            return S_OK;
        }
        IDispatch* object = nullptr;
        const HRESULT result = oleacc_->AccessibleObjectFromWindow(
            window_->ControlWindow(control), static_cast<DWORD>(OBJID_WINDOW), __uuidof(IDispatch),
            reinterpret_cast<void**>(&object));
        if (SUCCEEDED(result) && object != nullptr) {
            V_VT(out) = VT_DISPATCH;
            V_DISPATCH(out) = object;
        }
        return result;
    }

    const AccessibleView* window_;
    const Oleacc* oleacc_;
};

// The folder text box's standard object, named after the instruction above
// the box. The standard object would take the name from the static control
// created before the box, and that instruction is painted rather than a
// control. The name is given here, in the box's own answer to WM_GETOBJECT,
// rather than through the annotation service (IAccPropServices), which
// Wine leaves unimplemented, so that the name can be checked there as well.
class FolderTextAccessible final : public StandardAccessible {
  public:
    FolderTextAccessible(HWND box, ComPtr<IAccessible> standard, std::wstring name)
        : StandardAccessible(box, std::move(standard)), name_(std::move(name)) {}

    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        if (!Connected() || !IsSelf(child)) {
            return StandardAccessible::get_accName(child, name);
        }
        return AllocateText(name_, name);
    }

  private:
    std::wstring name_;
};

}  // namespace

Oleacc::Oleacc()
    : module_(LoadSystemLibrary(L"oleacc.dll")),
      createStdAccessibleObject_(
          ProcAddress<LPFNCREATESTDACCESSIBLEOBJECT>(module_.get(), "CreateStdAccessibleObject")),
      lresultFromObject_(ProcAddress<LPFNLRESULTFROMOBJECT>(module_.get(), "LresultFromObject")),
      accessibleObjectFromWindow_(
          ProcAddress<LPFNACCESSIBLEOBJECTFROMWINDOW>(module_.get(), "AccessibleObjectFromWindow")),
      accessibleChildren_(
          ProcAddress<LPFNACCESSIBLECHILDREN>(module_.get(), "AccessibleChildren")) {}

bool Oleacc::Loaded() const {
    return createStdAccessibleObject_ != nullptr && lresultFromObject_ != nullptr &&
           accessibleObjectFromWindow_ != nullptr && accessibleChildren_ != nullptr;
}

LONG AccessibleChildId(std::size_t control) {
    for (std::size_t n = 0; n < ExposedCount; ++n) {
        if (ExposedControls[n] == control) {
            return static_cast<LONG>(n + 1);
        }
    }
    return CHILDID_SELF;
}

Accessibility::Accessibility(const AccessibleView& window) : window_(window) {}

Accessibility::~Accessibility() { Disconnect(); }

LRESULT Accessibility::ClientObject(HWND target, WPARAM wParam) {
    if (disconnected_ || !oleacc_.Loaded()) {
        return 0;
    }
    const bool folderText = target != window_.Handle();
    ComPtr<StandardAccessible>& object = folderText ? folderText_ : client_;
    if (!object) {
        ComPtr<IAccessible> standard;
        if (FAILED(oleacc_.CreateStdAccessibleObject(target, OBJID_CLIENT, __uuidof(IAccessible),
                                                     standard.Put()))) {
            return 0;
        }
        if (folderText) {
            object = MakeCom<FolderTextAccessible>(target, std::move(standard),
                                                   std::wstring(window_.Caption(FolderPrompt)));
        } else {
            object = MakeCom<ClientAccessible>(window_, oleacc_, std::move(standard));
        }
    }
    const LRESULT answer = oleacc_.LresultFromObject(__uuidof(IAccessible), wParam,
                                                     static_cast<IAccessible*>(object.get()));
    // A failure leaves the standard object to the client rather than nothing.
    return FAILED(static_cast<HRESULT>(answer)) ? 0 : answer;
}

void Accessibility::Disconnect() {
    disconnected_ = true;
    for (ComPtr<StandardAccessible>* object : {&client_, &folderText_}) {
        if (*object) {
            (*object)->Disconnect();
            object->reset();
        }
    }
}

}  // namespace quorvex
