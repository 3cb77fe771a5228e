// The class factory singleton and its per-module allocators.
#ifndef FRAMEWORK_ENTRY_CLASS_FACTORY_H_
#define FRAMEWORK_ENTRY_CLASS_FACTORY_H_

#include <new>

#include "emlbreaker/class_factory.h"
#include "emlbreaker/trace.h"

namespace nsEmlFramework {

// Creates modules of class T, each named after the allocator. One instance per
// module class, owned by the factory.
template <class T>
class TAllocator final : public CBasicAllocator {
 public:
  explicit TAllocator(const ascommon::usstring& module_name) : name(module_name) {}

  // An allocation failure answers null; an exception of T's constructor
  // passes to the caller.
  CAModule* CreateModule() override {
    ascommon::sstring narrow(name);
    GetDebugTrace()->Trace("AS2FW: Creating new module: [%s]",
                           narrow.IsSet() ? narrow.c_str() : "");
    return new (std::nothrow) T(name);
  }
  const ascommon::usstring* GetName() override { return &name; }

  ascommon::usstring name;
};

// The factory: loads the tracer, then builds the seven allocators in the
// order hosts rely on.
class CEMLBRClassFactory final : public CAClassFactory {
 public:
  CEMLBRClassFactory();
};

}  // namespace nsEmlFramework

#endif  // FRAMEWORK_ENTRY_CLASS_FACTORY_H_
