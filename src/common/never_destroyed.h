// Storage for an object that is built on first use and never destroyed.
// The library's unload closes its files, and on some platforms it runs after
// the program's static objects are destroyed; what it touches then must
// still be there, so it lives here and its files are closed explicitly.
#pragma once

#include <new>

template <class T>
class NeverDestroyed {
 public:
  NeverDestroyed() { ::new (static_cast<void*>(storage_)) T(); }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};
