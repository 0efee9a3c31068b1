// A replaceable platform service: the process uses one object of an interface, the real
// implementation unless another has been put in its place for a while.
//
// - TSeam<I>::Get<TReal>() answers the object in place, else the real one, made on first use
//   and never destroyed (objects of other statics may still use it at exit); RealOne<TReal>()
//   answers the real one whatever is in place. The service's accessor (Env(), EventLog(),
//   ...) names the real type, so that only its own source file needs to see it.
// - TSeam<I>::Find() answers the object in place, or null: for the services that have no
//   real one until the program makes it (the menu's terminal, an acquired console).
// - TSeam<I>::TScoped puts an object in place for its scope and puts back, when it ends,
//   whatever was in place before it, so that they nest. The object must outlive the scope.
//   Tests put their doubles in place with it, the program the objects it makes for a while.
//
// Threads: Get and Find are one atomic load, safe from any number of threads at once and
// never waiting; no lock of the seam is held while the object works, so a call that waits
// (a journal write, systemctl) holds up no other caller. The seam does not keep a replaced
// object alive for a call still running on it (a lock or a shared count would, at a cost on
// every file operation, for swaps that never meet a running call). So an object is put in
// place before the threads that use it start and taken out after they are joined (a test's
// set-up and tear-down, around the watchdog, the signal thread and the service threads).
// Where that cannot be, the caller swaps under a lock of its own that every use also holds
// (the console's writer, which the signal thread calls too).
#pragma once

#include <atomic>
#include <new>

namespace keyrix::platform {

template <class Interface>
class TSeam {
public:
    TSeam() = delete;

    template <class Real>
    static Interface& Get() {
        Interface* current = FCurrent.load(std::memory_order_acquire);
        return current != nullptr ? *current : RealOne<Real>();
    }

    static Interface* Find() { return FCurrent.load(std::memory_order_acquire); }

    // The real one, whatever is in place (for what only it has, as the env's reload).
    template <class Real>
    static Real& RealOne() {
        alignas(Real) static unsigned char storage[sizeof(Real)];
        static Real* const real = ::new (static_cast<void*>(storage)) Real();
        return *real;
    }

    class TScoped {
    public:
        explicit TScoped(Interface& replacement)
            : FPrevious(FCurrent.exchange(&replacement, std::memory_order_acq_rel)) {}
        TScoped(const TScoped&) = delete;
        TScoped& operator=(const TScoped&) = delete;
        ~TScoped() { FCurrent.store(FPrevious, std::memory_order_release); }

    private:
        Interface* FPrevious;
    };

private:
    static inline constinit std::atomic<Interface*> FCurrent{nullptr};
};

}  // namespace keyrix::platform
