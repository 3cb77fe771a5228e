#include "framework/entry/class_factory.h"

#include "mail/modules/eml_breaker.h"
#include "mail/modules/eml_performer.h"
#include "mail/modules/eml_streamer.h"
#include "mail/modules/virtual_breakers.h"

namespace nsEmlFramework {
namespace {

template <class T>
void AddAllocator(ascommon::CArray<CBasicAllocator*, 64>& allocators,
                  const ascommon::usstring& name) {
  // A failed allocation leaves a null entry that hosts skip; a failed growth
  // of the array leaves the entry out.
  allocators.Add(new (std::nothrow) TAllocator<T>(name));
}

}  // namespace

CEMLBRClassFactory::CEMLBRClassFactory() {
  LoadTracer();
  using namespace nsEmlModules;
  AddAllocator<CEmlBreaker>(allocators, kEmlRealBreakerName);
  AddAllocator<CEmlHeaderBreaker>(allocators, kEmlHeaderBreakerName);
  AddAllocator<CEmlPartsBreaker>(allocators, kEmlPartsBreakerName);
  AddAllocator<CEmlHtmlPartsBreaker>(allocators, kEmlHtmlPartsBreakerName);
  AddAllocator<CEmlTextPartsBreaker>(allocators, kEmlTextPartsBreakerName);
  AddAllocator<CEMLStreamer>(allocators, kEmlStreamerName);
  AddAllocator<CEmlPerformer>(allocators, kEmlPerformerName);
}

}  // namespace nsEmlFramework
