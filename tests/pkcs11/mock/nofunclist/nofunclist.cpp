// A shared library that looks like a PKCS#11 module on disk but exports no
// C_GetFunctionList, for the loader's "not a module" path.
extern "C" int vardek_mock_nofunclist_marker(void);

extern "C" int vardek_mock_nofunclist_marker(void) { return 1; }
