#pragma once
// pinned(p): p unchanged, but opaque to the optimiser. In a shared library every access to a
// thread_local object goes through __tls_get_addr, and the compiler, knowing the address cannot
// change within the thread, prefers calling it again at each use inside a loop (a call that also
// clobbers registers) to keeping the address in a register. Taking the address once through pinned()
// makes it an ordinary pointer that the hot loops keep.

namespace tarnivel {

template <class T>
inline T* pinned(T* p) {
  asm("" : "+r"(p));
  return p;
}

}  // namespace tarnivel
