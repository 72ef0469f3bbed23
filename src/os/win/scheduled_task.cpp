// Questions to the Task Scheduler through its COM interface.
#include "os/os.h"
#include "os/win/win32.h"

#include <oleauto.h>
#include <taskschd.h>

namespace tesmora::os {
namespace {

// COM on this thread for the scope, in whatever apartment the thread already has.
class ComScope {
public:
    ComScope() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

    bool usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }

private:
    HRESULT result_;
};

template <typename T>
class ComPointer {
public:
    ComPointer() = default;
    ~ComPointer() {
        if (pointer_ != nullptr) pointer_->Release();
    }
    ComPointer(const ComPointer&) = delete;
    ComPointer& operator=(const ComPointer&) = delete;

    T* operator->() const { return pointer_; }
    T** out() { return &pointer_; }

private:
    T* pointer_ = nullptr;
};

class Bstr {
public:
    explicit Bstr(const std::wstring& text) : text_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~Bstr() { SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    operator BSTR() const { return text_; }

private:
    BSTR text_;
};

}  // namespace

std::optional<bool> ScheduledTaskRegistered(const std::wstring& name) {
    const ComScope com;
    if (!com.usable()) return std::nullopt;
    ComPointer<ITaskService> service;
    if (FAILED(CoCreateInstance(__uuidof(TaskScheduler), nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskService),
                                reinterpret_cast<void**>(service.out())))) {
        return std::nullopt;
    }
    const VARIANT none{};  // VT_EMPTY: this computer, this user
    ComPointer<ITaskFolder> root;
    const Bstr rootPath(L"\\"), taskName(name);
    if (FAILED(service->Connect(none, none, none, none)) || FAILED(service->GetFolder(rootPath, root.out()))) {
        return std::nullopt;
    }
    ComPointer<IRegisteredTask> task;
    const HRESULT found = root->GetTask(taskName, task.out());
    if (SUCCEEDED(found)) return true;
    if (found == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || found == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) {
        return false;
    }
    return std::nullopt;  // refused (E_ACCESSDENIED) or another failure: it may still be there
}

}  // namespace tesmora::os
