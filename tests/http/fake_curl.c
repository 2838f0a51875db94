/* A stand-in for libcurl that exports the names the loader looks up, for the
 * loader tests only: it is never called except through curl_easy_strerror,
 * whose text tells the tests which file was loaded. Each FAKE_CURL_WITHOUT_...
 * leaves one name out. */

#define FAKE_EXPORT __attribute__((visibility("default")))

FAKE_EXPORT void* curl_easy_init(void) { return 0; }
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
FAKE_EXPORT void* curl_multi_init(void) { return 0; }
FAKE_EXPORT int curl_multi_setopt(void* multi, int option, ...) {
  (void)multi;
  (void)option;
  return 0;
}
FAKE_EXPORT int curl_multi_add_handle(void* multi, void* handle) {
  (void)multi;
  (void)handle;
  return 0;
}
FAKE_EXPORT int curl_multi_remove_handle(void* multi, void* handle) {
  (void)multi;
  (void)handle;
  return 0;
}
FAKE_EXPORT int curl_multi_perform(void* multi, int* running) {
  (void)multi;
  *running = 0;
  return 0;
}
FAKE_EXPORT int curl_multi_poll(void* multi, void* fds, unsigned count, int timeout, int* ready) {
  (void)multi;
  (void)fds;
  (void)count;
  (void)timeout;
  (void)ready;
  return 0;
}
#ifndef FAKE_CURL_WITHOUT_MULTI_WAKEUP
FAKE_EXPORT int curl_multi_wakeup(void* multi) {
  (void)multi;
  return 0;
}
#endif
FAKE_EXPORT void* curl_multi_info_read(void* multi, int* queued) {
  (void)multi;
  *queued = 0;
  return 0;
}
FAKE_EXPORT const char* curl_multi_strerror(int code) {
  (void)code;
  return "fake multi";
}
FAKE_EXPORT int curl_multi_cleanup(void* multi) {
  (void)multi;
  return 0;
}
