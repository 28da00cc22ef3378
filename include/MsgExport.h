/*
 * MsgExport.h - linkage and calling-convention macros shared by the agent
 * library (msglogicex), the messaging-engine library (msglogic) and hosts.
 *
 * This is the only header of the project that tests the target operating
 * system. Everything that crosses a module boundary is declared with these
 * macros and with fixed-width integer types, so a host or an engine can
 * compile the public headers with nothing else of ours.
 *
 * Binary conventions, the same on every compiler and system, so that a host
 * or an engine built by Microsoft's compiler (MSVC, clang-cl), by MinGW-w64
 * or by clang works with the agent library whichever of them built it:
 *  - Interface operations are virtual member functions using the compiler's
 *    default member calling convention (__thiscall on 32-bit Windows: the
 *    object in ECX, the callee removes its arguments, so every operation must
 *    be declared with exactly the argument count of its slot). 64-bit Windows
 *    has one calling convention for everything, Microsoft's x64 one: the
 *    object in RCX, the first three arguments in RDX, R8 and R9, 32 bytes of
 *    home space reserved by the caller, who also removes the arguments; RBX,
 *    RBP, RDI, RSI, R12-R15 and XMM6-XMM15 survive every call. MinGW-w64 and
 *    MSVC both use it, so the 64-bit DLL needs nothing further.
 *  - Slot numbers are vtable indexes, literally, on every compiler. The
 *    destructor entries of the tables (IMsgObject slot 2, IMsgLogicSink slot
 *    123) are each one ordinary virtual member, Destroy(flags), laid out as
 *    Microsoft's compiler lays out a virtual destructor (its "scalar deleting
 *    destructor": one 32-bit flags word, bit 0 MSG_DESTROY_FREE meaning "free
 *    the memory", returning the object's address). A virtual destructor
 *    declared in these headers would take two entries under the Itanium C++
 *    ABI (g++, clang, MinGW-w64) and shift every later slot; Destroy takes
 *    one everywhere, 32-bit and x64 alike. A program built by MSVC may
 *    declare the entry as the plain `virtual ~IMsgObject()`; `delete`
 *    through it then calls Destroy with MSG_DESTROY_FREE.
 *  - Microsoft's 32-bit ABI keeps the stack 4-byte aligned only; the agent
 *    and the stand-in engine accept calls, callbacks and thread starts made
 *    with such a stack.
 *  - Records (FriendInfo, RoomInfo, UserEntry) are packed: no padding on any
 *    compiler or word size. Only UserEntry holds a pointer: the id at offset
 *    0, the name pointer at offset 4, so 8 bytes on 32-bit targets and 12 on
 *    64-bit ones (64-bit Windows and 64-bit Linux alike).
 *  - Exported factories have C linkage and the default C calling convention
 *    (__cdecl), so their names are undecorated in the export table.
 */
#ifndef MSG_EXPORT_H_
#define MSG_EXPORT_H_

#if defined(_WIN32)
#define MSG_DLL_EXPORT __declspec(dllexport)
#define MSG_DLL_IMPORT __declspec(dllimport)
#else
#define MSG_DLL_EXPORT __attribute__((visibility("default")))
#define MSG_DLL_IMPORT
#endif

/* Each library defines <NAME>_BUILDING while it is being built, so that its
 * own factory is exported there and imported by everyone else. */
#if defined(MSGLOGICEX_BUILDING)
#define MSGLOGICEX_API MSG_DLL_EXPORT
#else
#define MSGLOGICEX_API MSG_DLL_IMPORT
#endif

#if defined(MSGLOGIC_BUILDING)
#define MSGLOGIC_API MSG_DLL_EXPORT
#else
#define MSGLOGIC_API MSG_DLL_IMPORT
#endif

/* The member calling convention, for code that calls a vtable slot through a
 * plain function pointer whose first argument is the object (as a binary
 * that only knows slot numbers does). Empty where members use the ordinary
 * convention. */
#if defined(_WIN32) && defined(__i386__) && defined(__GNUC__)
#define MSG_THISCALL __attribute__((thiscall))
#elif defined(_WIN32) && defined(_M_IX86)
#define MSG_THISCALL __thiscall
#else
#define MSG_THISCALL
#endif

/* Flags of the Destroy entries (IMsgObject slot 2, IMsgLogicSink slot 123),
 * as Microsoft's compiler passes them to a deleting destructor: bit 0, set by
 * `delete p`, asks that the object's memory be freed. MSVC also sets bit 2
 * for `::delete p` and bit 1 for `delete[]`; an explicit destructor call
 * passes 0. */
enum { MSG_DESTROY_FREE = 1 };

#endif /* MSG_EXPORT_H_ */
