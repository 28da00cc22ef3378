// What the two freestanding programs of Microsoft's C++ ABI share (the test
// host msabi_host.exe and the test engine msglogic.dll): the few kernel32
// and msvcrt functions they import, the runtime pieces an MSVC program gets
// from its CRT, output, a lock, and a call through a raw vtable slot that
// checks the callee against Microsoft's 32-bit conventions.
//
// Compiled by clang++ --target=i686-pc-windows-msvc -ffreestanding
// -fno-exceptions -fno-rtti -nostdlib, linked by lld-link with import
// libraries made from kernel32.def and msvcrt.def. Nothing of the project's
// include/ is used: each program declares the interfaces it needs itself, as
// a program built with Microsoft's compiler would. Included once per program.
#ifndef MSGLOGIC_TESTS_MSABI_MSABI_H_
#define MSGLOGIC_TESTS_MSABI_MSABI_H_

typedef signed char int8_t;
typedef unsigned char uint8_t;
typedef short int16_t;
typedef unsigned short uint16_t;
typedef int int32_t;
typedef unsigned int uint32_t;
typedef unsigned int size_t;
typedef void* HANDLE;

#define WINAPI __stdcall

extern "C" {
__declspec(dllimport) HANDLE WINAPI GetStdHandle(uint32_t which);
__declspec(dllimport) int WINAPI WriteFile(HANDLE file, const void* data, uint32_t size,
                                           uint32_t* written, void* overlapped);
__declspec(dllimport) void WINAPI ExitProcess(uint32_t code);
__declspec(dllimport) HANDLE WINAPI CreateThread(void* attributes, size_t stack,
                                                 uint32_t(WINAPI* start)(void*), void* arg,
                                                 uint32_t flags, uint32_t* id);
__declspec(dllimport) uint32_t WINAPI WaitForSingleObject(HANDLE handle, uint32_t ms);
__declspec(dllimport) int WINAPI CloseHandle(HANDLE handle);
__declspec(dllimport) void WINAPI Sleep(uint32_t ms);
__declspec(dllimport) HANDLE WINAPI GetModuleHandleA(const char* name);
__declspec(dllimport) void* WINAPI GetProcAddress(HANDLE module, const char* name);
__declspec(dllimport) int WINAPI CreateDirectoryA(const char* path, void* attributes);
__declspec(dllimport) HANDLE WINAPI CreateFileA(const char* path, uint32_t access, uint32_t share,
                                                void* attributes, uint32_t disposition,
                                                uint32_t flags, HANDLE templ);
__declspec(dllimport) uint32_t WINAPI GetTickCount(void);

__declspec(dllimport) void* __cdecl malloc(size_t size);
__declspec(dllimport) void __cdecl free(void* p);
__declspec(dllimport) void* __cdecl memcpy(void* to, const void* from, size_t n);
__declspec(dllimport) void* __cdecl memset(void* to, int c, size_t n);
__declspec(dllimport) int __cdecl memcmp(const void* a, const void* b, size_t n);
__declspec(dllimport) size_t __cdecl strlen(const char* s);
}

// --- What the CRT would give an MSVC program ---
extern "C" int _fltused = 0;
extern "C" int __cdecl _purecall(void) {
  ExitProcess(70);
  return 0;
}
// operator delete notes what it was given last (the host checks it).
void* g_deleted = reinterpret_cast<void*>(1);
void* operator new(size_t size) { return malloc(size); }
void operator delete(void* p) {
  g_deleted = p;
  free(p);
}
void operator delete(void* p, size_t) { operator delete(p); }

namespace msabi {

// --- Output: standard output, unbuffered ---
inline void Out(const char* text) {
  uint32_t written = 0;
  WriteFile(GetStdHandle(static_cast<uint32_t>(-11)), text, strlen(text), &written, nullptr);
}

// A text built in a fixed buffer (no allocation), truncated when full.
class Text {
 public:
  Text() { buf_[0] = 0; }
  Text& Add(const char* s) {
    while (*s != 0 && len_ + 1 < sizeof buf_) buf_[len_++] = *s++;
    buf_[len_] = 0;
    return *this;
  }
  Text& Int(int32_t v) {
    char digits[12];
    int n = 0;
    uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    if (v < 0) Add("-");
    char one[2] = {0, 0};
    while (n > 0) {
      one[0] = digits[--n];
      Add(one);
    }
    return *this;
  }
  Text& Hex(const void* data, uint32_t n) {
    static const char kDigits[] = "0123456789abcdef";
    const uint8_t* p = static_cast<const uint8_t*>(data);
    char two[3] = {0, 0, 0};
    for (uint32_t i = 0; i < n; ++i) {
      two[0] = kDigits[p[i] >> 4];
      two[1] = kDigits[p[i] & 15];
      Add(two);
    }
    return *this;
  }
  const char* c_str() const { return buf_; }
  bool Is(const char* s) const { return strlen(s) == len_ && memcmp(s, buf_, len_) == 0; }

 private:
  char buf_[1024];
  uint32_t len_ = 0;
};

// A spin lock (threads here hold it for a few instructions).
class SpinLock {
 public:
  void Lock() {
    while (__atomic_exchange_n(&held_, 1, __ATOMIC_ACQUIRE) != 0) Sleep(0);
  }
  void Unlock() { __atomic_store_n(&held_, 0, __ATOMIC_RELEASE); }

 private:
  int held_ = 0;
};

// Bytes appended little-endian into a caller's buffer, as records are laid out.
class Bytes {
 public:
  Bytes(void* buffer, uint32_t capacity)
      : p_(static_cast<uint8_t*>(buffer)), capacity_(capacity) {
    memset(p_, 0, capacity_);
  }
  Bytes& U8(uint32_t v) {
    if (n_ < capacity_) p_[n_] = static_cast<uint8_t>(v);
    ++n_;
    return *this;
  }
  Bytes& U16(uint32_t v) { return U8(v & 0xFF).U8((v >> 8) & 0xFF); }
  Bytes& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  Bytes& Zeros(uint32_t k) {
    while (k-- > 0) U8(0);
    return *this;
  }
  Bytes& Str(const char* s) {
    while (*s != 0) U8(static_cast<uint8_t>(*s++));
    return *this;
  }
  // A text in a zeroed field of `width` bytes.
  Bytes& Field(const char* s, uint32_t width) {
    uint32_t k = strlen(s);
    Str(s);
    return Zeros(width - k);
  }
  uint32_t size() const { return n_; }
  bool fits() const { return n_ <= capacity_; }

 private:
  uint8_t* p_;
  uint32_t capacity_;
  uint32_t n_ = 0;
};

// What a checked call saw.
struct CallCheck {
  uint32_t result;    // EAX after the call
  int32_t esp_delta;  // ESP after the call minus ESP before the arguments: 0 when
                      // the callee removed exactly its own arguments (__thiscall)
  uint32_t saved;     // 0 when EBX, ESI and EDI came back unchanged
  uint32_t esp_mod;   // ESP modulo 16 at the call instruction (before the return address)
};

}  // namespace msabi

// Calls vtable slot `slot` of `object` with ECX = object and `count` 32-bit
// arguments pushed right to left, with ESP at `esp_mod` modulo 16 at the
// call instruction (0, 4, 8 or 12; Microsoft's ABI promises only 4-byte
// alignment), and fills *check.
extern "C" void __cdecl msabi_call(void* object, uint32_t slot, uint32_t count,
                                   const uint32_t* args, uint32_t esp_mod,
                                   msabi::CallCheck* check);
__asm__(
    ".text\n"
    ".globl _msabi_call\n"
    "_msabi_call:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    // 8(%ebp) object, 12 slot, 16 count, 20 args, 24 esp_mod, 28 check
    "  movl 16(%ebp), %ecx\n"
    "  leal (,%ecx,4), %eax\n"
    "  addl 24(%ebp), %eax\n"
    "  negl %eax\n"
    "  andl $15, %eax\n"  // padding so that ESP - 4 * count = esp_mod (mod 16)
    "  andl $-16, %esp\n"
    "  subl %eax, %esp\n"
    "  movl 28(%ebp), %eax\n"
    "  movl %esp, 4(%eax)\n"  // ESP before the arguments
    "  movl 20(%ebp), %edx\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  decl %ecx\n"
    "  pushl (%edx,%ecx,4)\n"
    "  jmp 1b\n"
    "2:\n"
    "  movl %esp, %edx\n"
    "  andl $15, %edx\n"
    "  movl %edx, 12(%eax)\n"
    "  movl 8(%ebp), %ecx\n"
    "  movl (%ecx), %eax\n"
    "  movl 12(%ebp), %edx\n"
    "  movl (%eax,%edx,4), %eax\n"
    "  movl $0x5EB0B0B0, %ebx\n"
    "  movl $0x5E51E51E, %esi\n"
    "  movl $0x5ED1D1D1, %edi\n"
    "  calll *%eax\n"
    "  movl 28(%ebp), %ecx\n"
    "  movl %eax, 0(%ecx)\n"
    "  movl %esp, %edx\n"
    "  subl 4(%ecx), %edx\n"
    "  movl %edx, 4(%ecx)\n"
    "  xorl %eax, %eax\n"
    "  cmpl $0x5EB0B0B0, %ebx\n"
    "  jne 3f\n"
    "  cmpl $0x5E51E51E, %esi\n"
    "  jne 3f\n"
    "  cmpl $0x5ED1D1D1, %edi\n"
    "  je 4f\n"
    "3:\n"
    "  movl $1, %eax\n"
    "4:\n"
    "  movl %eax, 8(%ecx)\n"
    "  leal -12(%ebp), %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  retl\n");

#endif  // MSGLOGIC_TESTS_MSABI_MSABI_H_
