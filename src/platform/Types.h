#pragma once
// Basic types shared by every layer: the object roots, the general exception and the
// window-handle stand-in. Kept tiny on purpose: everything here must be usable from code that
// links only QtCore.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace cw {

// Opaque handle of a MessageWindow. 0 is "no window". Handles are never reused while the
// process lives, so a message posted to a destroyed window is dropped rather than delivered
// to a newer window that happens to reuse the number.
using HWND = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// Root of the component hierarchy. Event handlers receive the sender as a TObject*.
class TObject {
public:
    virtual ~TObject() = default;
};

// A component may have an owner; ownership is informational only (C++ owners hold their
// components by value or unique_ptr), but handlers and tests use it to find the form.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner = nullptr) : FOwner(owner) {}
    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& value) { FName = value; }
    int Tag() const { return FTag; }
    void SetTag(int value) { FTag = value; }

private:
    TComponent* FOwner;
    std::string FName;
    int FTag = 0;
};

// The general exception: a message text shown as it stands in the standard error box.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

} // namespace cw
