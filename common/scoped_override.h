#pragma once

// The one shape of the system's seams. A seam is an interface (a class with
// virtual members) whose platform implementation, Interface::Platform(), is
// in use unless a ScopedOverride puts another instance in its place for the
// override's lifetime. Tests use it to see what the system asks of the
// platform and to produce failures the platform does not produce on demand.
//
// Seams: Common::FileSystem (files and folders of the cache), RpcRuntime (the
// endpoint's registration), EventWriter (ETW writes). Per-object
// collaborators (HttpRequest, DownloadFile) are handed to their owner's
// constructor instead.
//
// An override is put in place before the threads that use the seam start,
// and removed after they end.

namespace Common {

template <typename Interface>
Interface*& OverrideSlot() {
    static Interface* slot = nullptr;
    return slot;
}

// The instance in use.
template <typename Interface>
[[nodiscard]] Interface& Current() {
    Interface* replacement = OverrideSlot<Interface>();
    return replacement != nullptr ? *replacement : Interface::Platform();
}

// Puts `replacement` in place of the instance in use for its lifetime.
template <typename Interface>
class ScopedOverride {
  public:
    explicit ScopedOverride(Interface& replacement) : previous_(OverrideSlot<Interface>()) {
        OverrideSlot<Interface>() = &replacement;
    }
    ~ScopedOverride() { OverrideSlot<Interface>() = previous_; }
    ScopedOverride(const ScopedOverride&) = delete;
    ScopedOverride& operator=(const ScopedOverride&) = delete;

  private:
    Interface* previous_;
};

}  // namespace Common
