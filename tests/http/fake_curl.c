/* A stand-in for libcurl that exports the names the loader looks up, for the
 * loader tests only: it is never called except through curl_easy_strerror,
 * whose text tells the tests which file was loaded. */

#define FAKE_EXPORT __attribute__((visibility("default")))

FAKE_EXPORT void* curl_easy_init(void) { return 0; }
FAKE_EXPORT char* curl_easy_escape(void* handle, const char* text, int length) {
  (void)handle;
  (void)text;
  (void)length;
  return 0;
}
FAKE_EXPORT void curl_free(void* pointer) { (void)pointer; }
FAKE_EXPORT void curl_easy_cleanup(void* handle) { (void)handle; }
FAKE_EXPORT int curl_easy_setopt(void* handle, int option, ...) {
  (void)handle;
  (void)option;
  return 0;
}
FAKE_EXPORT void* curl_slist_append(void* list, const char* text) {
  (void)text;
  return list;
}
FAKE_EXPORT int curl_easy_getinfo(void* handle, int info, ...) {
  (void)handle;
  (void)info;
  return 0;
}
FAKE_EXPORT int curl_easy_perform(void* handle) {
  (void)handle;
  return 0;
}
FAKE_EXPORT void curl_slist_free_all(void* list) { (void)list; }
#ifndef FAKE_CURL_WITHOUT_STRERROR
FAKE_EXPORT const char* curl_easy_strerror(int code) {
  (void)code;
  return "fake curl " FAKE_CURL_NAME;
}
#endif
