#include "tools/emlscan/packer_host.h"

#include <dlfcn.h>

#include <stdexcept>

namespace emlscan {

PackerHost::PackerHost(const std::string& directory) {
  const std::string path = (directory.empty() ? std::string(".") : directory) + "/libmsgcodec.so";
  library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) throw std::runtime_error(std::string("cannot load the packer: ") + dlerror());
  auto request = reinterpret_cast<RequestInterfaceFn>(dlsym(library_, kRequestInterfaceName));
  release_ = reinterpret_cast<ReleaseInterfaceFn>(dlsym(library_, kReleaseInterfaceName));
  if (request == nullptr || release_ == nullptr || request(kPackerKindMime, &packer_) == 0 ||
      packer_ == nullptr) {
    dlclose(library_);
    throw std::runtime_error(path + ": not a MIME packer");
  }
}

PackerHost::~PackerHost() {
  release_(&packer_);
  dlclose(library_);
}

std::string PackerHost::LastError(const char* fallback) const {
  const char* error = packer_->GetLastError();
  return error != nullptr && *error != '\0' ? std::string(error) : std::string(fallback);
}

}  // namespace emlscan
