// The library as a host sees it: loaded at run time by name and used only through its exports,
// exactly as a third-party host would.
#pragma once

#include <memory>
#include <string>

#include "kovra_api.h"

namespace halvern::route {

// clang-format off
#define HALVERN_ROUTE_EXPORTS(X) KOVRA_API_EXPORTS(X)
// clang-format on

class KovraLibrary {
 public:
  // Looks next to the running program first, then wherever the system loader looks. Null with
  // `error` set when the library or one of its exports is missing.
  static std::unique_ptr<KovraLibrary> Load(std::string* error);
  ~KovraLibrary();
  KovraLibrary(const KovraLibrary&) = delete;
  KovraLibrary& operator=(const KovraLibrary&) = delete;

#define HALVERN_ROUTE_MEMBER(name) decltype(&::name) name = nullptr;
  HALVERN_ROUTE_EXPORTS(HALVERN_ROUTE_MEMBER)
#undef HALVERN_ROUTE_MEMBER

  const std::string& path() const { return m_Path; }

 private:
  KovraLibrary() = default;
  void* m_Handle = nullptr;
  std::string m_Path;
};

}  // namespace halvern::route
