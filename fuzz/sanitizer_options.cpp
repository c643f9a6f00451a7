// Defaults of the address sanitizer for every fuzz target, so that each runs the same by hand as
// under scripts/fuzz. clang's driver puts the C++ runtime ahead of the shared sanitizer runtime
// in the targets' list of needed libraries; the runtime still interposes malloc and the rest, as
// no library before it defines them, so its check of that order is only noise here.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "verify_asan_link_order=0";
}
