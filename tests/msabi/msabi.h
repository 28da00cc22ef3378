// What the two freestanding programs of Microsoft's C++ ABI share (the test
// host msabi_host.exe and the test engine msglogic.dll): the few kernel32
// and msvcrt functions they import, the runtime pieces an MSVC program gets
// from its CRT, output, a lock, and a call through a raw vtable slot that
// checks the callee against Microsoft's conventions, 32-bit or x64.
//
// Compiled by clang++ --target=i686-pc-windows-msvc (or
// x86_64-pc-windows-msvc) -ffreestanding -fno-exceptions -fno-rtti
// -nostdlib, linked by lld-link with import libraries made from kernel32.def
// and msvcrt.def. Nothing of the project's include/ is used: each program
// declares the interfaces it needs itself, as a program built with
// Microsoft's compiler would. Included once per program.
#ifndef MSGLOGIC_TESTS_MSABI_MSABI_H_
#define MSGLOGIC_TESTS_MSABI_MSABI_H_

typedef signed char int8_t;
typedef unsigned char uint8_t;
typedef short int16_t;
typedef unsigned short uint16_t;
typedef int int32_t;
typedef unsigned int uint32_t;
#if defined(_M_X64)
#define MSABI_X64 1
typedef unsigned long long size_t;
typedef unsigned long long uintptr_t;
typedef long long intptr_t;
// x64 has one calling convention: the 32-bit names mean nothing there.
#define WINAPI
#define MSABI_CDECL
#elif defined(_M_IX86)
#define MSABI_X64 0
typedef unsigned int size_t;
typedef unsigned int uintptr_t;
typedef int intptr_t;
#define WINAPI __stdcall
#define MSABI_CDECL __cdecl
#else
#error "built for 32-bit x86 or x64 Windows in Microsoft's ABI only"
#endif
typedef void* HANDLE;

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

__declspec(dllimport) void* MSABI_CDECL malloc(size_t size);
__declspec(dllimport) void MSABI_CDECL free(void* p);
__declspec(dllimport) void* MSABI_CDECL memcpy(void* to, const void* from, size_t n);
__declspec(dllimport) void* MSABI_CDECL memset(void* to, int c, size_t n);
__declspec(dllimport) int MSABI_CDECL memcmp(const void* a, const void* b, size_t n);
__declspec(dllimport) size_t MSABI_CDECL strlen(const char* s);
}

// --- What the CRT would give an MSVC program ---
extern "C" int _fltused = 0;
extern "C" int MSABI_CDECL _purecall(void) {
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
  uintptr_t result;   // EAX / RAX after the call
  intptr_t esp_delta;  // 32-bit: ESP after the call minus ESP before the arguments,
                       // 0 when the callee removed exactly its own arguments
                       // (__thiscall). x64: 0 (the caller removes them)
  uint32_t saved;      // callee-saved registers that came back changed: 0 when none;
                       // see AppendRegisters
  uint32_t esp_mod;    // ESP / RSP modulo 16 at the call instruction
};

// The stack alignments a checked call tries in turn: 0, 4, 8 and 12 modulo 16
// on 32-bit Windows, which promises 4-byte alignment only; on x64 the stack is
// 16-byte aligned at every call, so 0 alone.
inline uint32_t StackMod(uint32_t i) { return MSABI_X64 ? 0u : (i % 4) * 4; }

// The names of the registers set in CallCheck::saved.
inline Text& AppendRegisters(Text& t, uint32_t saved) {
#if MSABI_X64
  static const char* const kNames[] = {"RBX", "RBP", "RDI", "RSI", "R12", "R13", "R14",
                                       "R15", "XMM6", "XMM7", "XMM8", "XMM9", "XMM10",
                                       "XMM11", "XMM12", "XMM13", "XMM14", "XMM15"};
  for (uint32_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    if ((saved & (1u << i)) != 0) t.Add(" ").Add(kNames[i]);
  }
#else
  if (saved != 0) t.Add(" EBX, ESI or EDI");
#endif
  return t;
}

}  // namespace msabi

// Calls vtable slot `slot` of `object` with the arguments args[0..count)
// and fills *check.
//
// 32-bit: ECX = object and `count` 32-bit arguments pushed right to left,
// with ESP at `esp_mod` modulo 16 at the call instruction (0, 4, 8 or 12;
// Microsoft's ABI promises only 4-byte alignment); checks ESP, EBX, ESI and
// EDI afterwards.
//
// x64: RCX = object, RDX, R8 and R9 = args[0..2] (every slot here takes at
// most three), 32 bytes of home space, RSP 16-byte aligned at the call;
// RBX, RBP, RDI, RSI, R12-R15 and XMM6-XMM15 (both halves) hold known values
// across the call and are compared afterwards, one bit each in
// check->saved, in that order.
extern "C" void MSABI_CDECL msabi_call(void* object, uint32_t slot, uint32_t count,
                                       const uintptr_t* args, uint32_t esp_mod,
                                       msabi::CallCheck* check);
#if MSABI_X64
#define MSABI_GPR_CHECK(reg, value, bit) \
  "  movabsq $" value ", %r11\n"         \
  "  cmpq %r11, " reg "\n"               \
  "  je 1f\n"                             \
  "  orl $" bit ", %eax\n"               \
  "1:\n"
// XMM6 + n: both halves hold 0x5EC0FFEE5EC000n6.
#define MSABI_XMM_SET(n, reg)                \
  "  movabsq $0x5EC0FFEE5EC000" n "6, %r10\n" \
  "  movq %r10, " reg "\n"                   \
  "  punpcklqdq " reg ", " reg "\n"
// After the call, the callee's XMM6 + n is at -376 + 16 n (%rbp).
#define MSABI_XMM_CHECK(n, low, high, bit)    \
  "  movabsq $0x5EC0FFEE5EC000" n "6, %r11\n"  \
  "  cmpq %r11, " low "(%rbp)\n"              \
  "  jne 2f\n"                                \
  "  cmpq %r11, " high "(%rbp)\n"             \
  "  je 1f\n"                                 \
  "2:\n"                                      \
  "  orl $" bit ", %eax\n"                    \
  "1:\n"
// Frame: the seven callee-saved registers pushed below RBP (-56..0), the
// caller's XMM6-XMM15 at -216..-56, the callee's at -376..-216, the home
// space at -416..-384; RSP = RBP - 416, 16-byte aligned.
__asm__(
    ".text\n"
    ".globl msabi_call\n"
    "msabi_call:\n"
    "  pushq %rbp\n"
    "  movq %rsp, %rbp\n"
    "  pushq %rbx\n"
    "  pushq %rsi\n"
    "  pushq %rdi\n"
    "  pushq %r12\n"
    "  pushq %r13\n"
    "  pushq %r14\n"
    "  pushq %r15\n"
    "  subq $360, %rsp\n"
    "  movdqu %xmm6, -216(%rbp)\n"
    "  movdqu %xmm7, -200(%rbp)\n"
    "  movdqu %xmm8, -184(%rbp)\n"
    "  movdqu %xmm9, -168(%rbp)\n"
    "  movdqu %xmm10, -152(%rbp)\n"
    "  movdqu %xmm11, -136(%rbp)\n"
    "  movdqu %xmm12, -120(%rbp)\n"
    "  movdqu %xmm13, -104(%rbp)\n"
    "  movdqu %xmm14, -88(%rbp)\n"
    "  movdqu %xmm15, -72(%rbp)\n"
    // RCX object, RDX slot, R8 count, R9 args, 48(%rbp) esp_mod, 56(%rbp) check
    "  movq 56(%rbp), %rax\n"
    "  movq %rsp, %r10\n"
    "  andl $15, %r10d\n"
    "  movl %r10d, 20(%rax)\n"  // RSP modulo 16 at the call
    "  movq (%rcx), %rax\n"
    "  movl %edx, %edx\n"
    "  movq (%rax,%rdx,8), %rax\n"
    "  movq %r9, %r10\n"
    "  movq 0(%r10), %rdx\n"
    "  movq 8(%r10), %r8\n"
    "  movq 16(%r10), %r9\n"
    "  movabsq $0x5EB05EB05EB05EB0, %rbx\n"
    "  movabsq $0x5E515E515E515E51, %rsi\n"
    "  movabsq $0x5ED15ED15ED15ED1, %rdi\n"
    "  movabsq $0x5E125E125E125E12, %r12\n"
    "  movabsq $0x5E135E135E135E13, %r13\n"
    "  movabsq $0x5E145E145E145E14, %r14\n"
    "  movabsq $0x5E155E155E155E15, %r15\n"
    MSABI_XMM_SET("0", "%xmm6")
    MSABI_XMM_SET("1", "%xmm7")
    MSABI_XMM_SET("2", "%xmm8")
    MSABI_XMM_SET("3", "%xmm9")
    MSABI_XMM_SET("4", "%xmm10")
    MSABI_XMM_SET("5", "%xmm11")
    MSABI_XMM_SET("6", "%xmm12")
    MSABI_XMM_SET("7", "%xmm13")
    MSABI_XMM_SET("8", "%xmm14")
    MSABI_XMM_SET("9", "%xmm15")
    "  movabsq $0x5EB95EB95EB95EB9, %rbp\n"
    "  callq *%rax\n"
    "  movq %rbp, %r10\n"      // the callee's RBP
    "  leaq 416(%rsp), %rbp\n"  // this frame's again (RSP came back as it was)
    "  movdqu %xmm6, -376(%rbp)\n"
    "  movdqu %xmm7, -360(%rbp)\n"
    "  movdqu %xmm8, -344(%rbp)\n"
    "  movdqu %xmm9, -328(%rbp)\n"
    "  movdqu %xmm10, -312(%rbp)\n"
    "  movdqu %xmm11, -296(%rbp)\n"
    "  movdqu %xmm12, -280(%rbp)\n"
    "  movdqu %xmm13, -264(%rbp)\n"
    "  movdqu %xmm14, -248(%rbp)\n"
    "  movdqu %xmm15, -232(%rbp)\n"
    "  movq 56(%rbp), %rcx\n"
    "  movq %rax, 0(%rcx)\n"
    "  xorl %eax, %eax\n"
    MSABI_GPR_CHECK("%rbx", "0x5EB05EB05EB05EB0", "0x1")
    MSABI_GPR_CHECK("%r10", "0x5EB95EB95EB95EB9", "0x2")
    MSABI_GPR_CHECK("%rdi", "0x5ED15ED15ED15ED1", "0x4")
    MSABI_GPR_CHECK("%rsi", "0x5E515E515E515E51", "0x8")
    MSABI_GPR_CHECK("%r12", "0x5E125E125E125E12", "0x10")
    MSABI_GPR_CHECK("%r13", "0x5E135E135E135E13", "0x20")
    MSABI_GPR_CHECK("%r14", "0x5E145E145E145E14", "0x40")
    MSABI_GPR_CHECK("%r15", "0x5E155E155E155E15", "0x80")
    MSABI_XMM_CHECK("0", "-376", "-368", "0x100")
    MSABI_XMM_CHECK("1", "-360", "-352", "0x200")
    MSABI_XMM_CHECK("2", "-344", "-336", "0x400")
    MSABI_XMM_CHECK("3", "-328", "-320", "0x800")
    MSABI_XMM_CHECK("4", "-312", "-304", "0x1000")
    MSABI_XMM_CHECK("5", "-296", "-288", "0x2000")
    MSABI_XMM_CHECK("6", "-280", "-272", "0x4000")
    MSABI_XMM_CHECK("7", "-264", "-256", "0x8000")
    MSABI_XMM_CHECK("8", "-248", "-240", "0x10000")
    MSABI_XMM_CHECK("9", "-232", "-224", "0x20000")
    "  movl %eax, 16(%rcx)\n"
    "  movdqu -216(%rbp), %xmm6\n"
    "  movdqu -200(%rbp), %xmm7\n"
    "  movdqu -184(%rbp), %xmm8\n"
    "  movdqu -168(%rbp), %xmm9\n"
    "  movdqu -152(%rbp), %xmm10\n"
    "  movdqu -136(%rbp), %xmm11\n"
    "  movdqu -120(%rbp), %xmm12\n"
    "  movdqu -104(%rbp), %xmm13\n"
    "  movdqu -88(%rbp), %xmm14\n"
    "  movdqu -72(%rbp), %xmm15\n"
    "  addq $360, %rsp\n"
    "  popq %r15\n"
    "  popq %r14\n"
    "  popq %r13\n"
    "  popq %r12\n"
    "  popq %rdi\n"
    "  popq %rsi\n"
    "  popq %rbx\n"
    "  popq %rbp\n"
    "  retq\n");
#undef MSABI_GPR_CHECK
#undef MSABI_XMM_SET
#undef MSABI_XMM_CHECK
#else
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

#endif  // MSABI_X64

#endif  // MSGLOGIC_TESTS_MSABI_MSABI_H_
