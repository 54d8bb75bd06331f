// The token fuzz targets' handle on fuzz-p11.so: loads the module once (so
// it stays loaded while vardek loads and unloads it) and looks up its
// control functions. The module's path is a build setting.
#ifndef VARDEK_FUZZ_FUZZ_MODULE_H
#define VARDEK_FUZZ_FUZZ_MODULE_H

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "module/fuzz_p11.h"

namespace vardek::fuzz {

struct Module {
  const char *path = VARDEK_FUZZ_MODULE;
  decltype(&vardek_fuzz_p11_set_objects) set_objects;
  decltype(&vardek_fuzz_p11_set_keys) set_keys;
  decltype(&vardek_fuzz_p11_set_sign_answer) set_sign_answer;
  decltype(&vardek_fuzz_p11_get_signed) get_signed;
  decltype(&vardek_fuzz_p11_get_state) get_state;
  decltype(&vardek_fuzz_p11_object_count) object_count;
};

template <class F>
F lookup(void *handle, const char *name) {
  void *sym = dlsym(handle, name);
  if (sym == nullptr) {
    std::fprintf(stderr, "fuzz module: no %s\n", name);
    std::abort();
  }
  return reinterpret_cast<F>(sym);
}

inline const Module &module() {
  static const Module m = [] {
    Module r;
    void *h = dlopen(r.path, RTLD_NOW);
    if (h == nullptr) {
      std::fprintf(stderr, "fuzz module: %s\n", dlerror());
      std::abort();
    }
    r.set_objects = lookup<decltype(r.set_objects)>(h, "vardek_fuzz_p11_set_objects");
    r.set_keys = lookup<decltype(r.set_keys)>(h, "vardek_fuzz_p11_set_keys");
    r.set_sign_answer = lookup<decltype(r.set_sign_answer)>(h, "vardek_fuzz_p11_set_sign_answer");
    r.get_signed = lookup<decltype(r.get_signed)>(h, "vardek_fuzz_p11_get_signed");
    r.get_state = lookup<decltype(r.get_state)>(h, "vardek_fuzz_p11_get_state");
    r.object_count = lookup<decltype(r.object_count)>(h, "vardek_fuzz_p11_object_count");
    return r;
  }();
  return m;
}

[[noreturn]] inline void fail(const char *what) {
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

inline void check(bool ok, const char *what) {
  if (!ok) fail(what);
}

}  // namespace vardek::fuzz

#endif
