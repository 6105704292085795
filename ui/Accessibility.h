// What assistive technology reads of the main window. Its client area
// answers with an object whose children are, in the order of the layout
// table, the painted labels as static text (shadows left out) and the real
// controls through their standard objects; the folder text box answers with
// its standard object, named after the instruction above it.
#pragma once

#include <windows.h>

#include <oleacc.h>

#include <cstddef>
#include <string_view>

#include "platform/Handles.h"
#include "platform/Win32Startup.h"
#include "ui/Com.h"

namespace quorvex {

class StandardAccessible;

// What the accessible objects read of the window they describe, as the
// window has it now; the window provides it.
class AccessibleView {
  public:
    // The window whose client area the objects describe.
    virtual HWND Handle() const = 0;
    // The child window of a real control (text box, button) of the layout table.
    virtual HWND ControlWindow(std::size_t control) const = 0;
    // A control's box in the client area, in pixels at the window's DPI.
    virtual RECT PixelBox(std::size_t control) const = 0;
    // A label's caption as it is painted now.
    virtual std::wstring_view Caption(std::size_t control) const = 0;

  protected:
    ~AccessibleView() = default;
};

// oleacc.dll from the system folder: it is not a KnownDLL, so its bare name
// could load another copy.
class Oleacc {
  public:
    Oleacc();
    bool Loaded() const;

    HRESULT CreateStdAccessibleObject(HWND window, LONG object, REFIID id, void** out) const {
        return createStdAccessibleObject_(window, object, id, out);
    }
    LRESULT LresultFromObject(REFIID id, WPARAM wParam, IUnknown* object) const {
        return lresultFromObject_(id, wParam, object);
    }
    HRESULT AccessibleObjectFromWindow(HWND window, DWORD object, REFIID id, void** out) const {
        return accessibleObjectFromWindow_(window, object, id, out);
    }
    HRESULT AccessibleChildren(IAccessible* container, LONG start, LONG count, VARIANT* children,
                               LONG* obtained) const {
        return accessibleChildren_(container, start, count, children, obtained);
    }

  private:
    UniqueModule module_;
    LPFNCREATESTDACCESSIBLEOBJECT createStdAccessibleObject_;
    LPFNLRESULTFROMOBJECT lresultFromObject_;
    LPFNACCESSIBLEOBJECTFROMWINDOW accessibleObjectFromWindow_;
    LPFNACCESSIBLECHILDREN accessibleChildren_;
};

// The child id of a control of the layout table in the client area's
// object; CHILDID_SELF for a control that is not exposed.
LONG AccessibleChildId(std::size_t control);

// The accessible objects of one main window, made when assistive technology
// first asks for them and disconnected when the window is destroyed.
class Accessibility {
  public:
    explicit Accessibility(const AccessibleView& window);
    ~Accessibility();
    Accessibility(const Accessibility&) = delete;
    Accessibility& operator=(const Accessibility&) = delete;

    // The answer to WM_GETOBJECT for the client area of the main window or
    // of the folder text box; 0 leaves the window's default answer.
    LRESULT ClientObject(HWND target, WPARAM wParam);
    // From now on every call on an object handed out fails with
    // CO_E_OBJNOTCONNECTED (RPC_E_DISCONNECTED through a proxy), and no
    // object is handed out.
    void Disconnect();

  private:
    const AccessibleView& window_;
    // Declared before the objects and the apartment, so that it is freed
    // after everything that may still call into it.
    Oleacc oleacc_;
    Apartment apartment_{Apartment::With::Com};
    ComPtr<StandardAccessible> client_;
    ComPtr<StandardAccessible> folderText_;
    bool disconnected_ = false;
};

// Whether a WM_GETOBJECT asks for the client area's object; the id is a
// DWORD that may come sign- or zero-extended.
inline bool AsksForClientObject(LPARAM lParam) {
    return static_cast<DWORD>(lParam) == static_cast<DWORD>(OBJID_CLIENT);
}

}  // namespace quorvex
