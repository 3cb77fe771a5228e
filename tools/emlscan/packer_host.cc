#include "tools/emlscan/packer_host.h"

#include <dlfcn.h>

#include <stdexcept>

namespace emlscan {

namespace {

std::string LibraryPath(const std::string& directory) {
  return (directory.empty() ? std::string(".") : directory) + "/libmsgcodec.so";
}

}  // namespace

PackerHost::PackerHost(const std::string& directory) {
  const std::string path = LibraryPath(directory);
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

std::string LoadedPackerLastError(const std::string& directory) {
  void* library = dlopen(LibraryPath(directory).c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (library == nullptr) return std::string();
  std::string reason;
  auto request = reinterpret_cast<RequestInterfaceFn>(dlsym(library, kRequestInterfaceName));
  auto release = reinterpret_cast<ReleaseInterfaceFn>(dlsym(library, kReleaseInterfaceName));
  CAMimePacker* packer = nullptr;
  if (request != nullptr && release != nullptr && request(kPackerKindMime, &packer) != 0 &&
      packer != nullptr) {
    // The error text is the calling thread's, so asking for the interface
    // again does not clear it.
    const char* error = packer->GetLastError();
    if (error != nullptr) reason = error;
    release(&packer);
  }
  dlclose(library);
  return reason;
}

}  // namespace emlscan
