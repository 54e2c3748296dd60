// Owners of Windows handles: one small type per handle kind, each releasing its handle with the kind's
// own function when it is reset or goes out of scope. A structure that holds several declares them in
// the reverse of the order in which they must be released, so that its destruction releases them in
// that order.
#pragma once

#include <windows.h>
// needs windows.h above
#include <winsvc.h>

#include <memory>
#include <type_traits>

namespace trsn::win {

// The deleter of an owner: calls Release on the handle (std::unique_ptr never passes it a null one).
template <auto Release>
struct Releaser {
    template <class Handle>
    void operator()(Handle handle) const {
        Release(handle);
    }
};

// An owner of a handle of type Handle (a pointer type) that Release gives back.
template <class Handle, auto Release>
using Owner = std::unique_ptr<std::remove_pointer_t<Handle>, Releaser<Release>>;

// Kernel objects: processes, threads, mutexes, files. File calls report failure with
// INVALID_HANDLE_VALUE rather than null: an owner given that value holds it without closing it, so test
// such a result against INVALID_HANDLE_VALUE, not against null.
struct KernelHandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};
using UniqueHandle = std::unique_ptr<void, KernelHandleCloser>;

// An event object, with the two calls made on one.
struct UniqueEvent : UniqueHandle {
    using UniqueHandle::UniqueHandle;

    // An unnamed event, not signalled, that stays signalled once set; empty when it cannot be created.
    static UniqueEvent createManualReset() {
        return UniqueEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    void set() const { SetEvent(get()); }
    // True when the event is signalled within timeoutMs.
    bool wait(DWORD timeoutMs) const { return WaitForSingleObject(get(), timeoutMs) == WAIT_OBJECT_0; }
};

// Connections to the Service Control Manager and handles of services.
using UniqueServiceHandle = Owner<SC_HANDLE, &::CloseServiceHandle>;

using UniqueMenu = Owner<HMENU, &::DestroyMenu>;
using UniqueIcon = Owner<HICON, &::DestroyIcon>;

// A window. Destroy is a parameter so that a program can route the call through a seam of its own
// that its tests record.
template <auto Destroy = &::DestroyWindow>
using BasicUniqueWindow = Owner<HWND, Destroy>;
using UniqueWindow = BasicUniqueWindow<>;

}  // namespace trsn::win
