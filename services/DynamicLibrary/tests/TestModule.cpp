// A module for DynamicLibraryTest to load: one exported function.
#ifdef _WIN32
#define ZV_TEST_MODULE_EXPORT __declspec(dllexport)
#else
#define ZV_TEST_MODULE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" ZV_TEST_MODULE_EXPORT int zvTestModuleAnswer(int question) { return question + 42; }
