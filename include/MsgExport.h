/*
 * MsgExport.h - linkage and calling-convention macros shared by the agent
 * library (msglogicex), the messaging-engine library (msglogic) and hosts.
 *
 * This is the only header of the project that tests the target operating
 * system. Everything that crosses a module boundary is declared with these
 * macros and with fixed-width integer types, so a host or an engine can
 * compile the public headers with nothing else of ours.
 *
 * Binary conventions:
 *  - Interface operations are virtual member functions using the compiler's
 *    default member calling convention (__thiscall on 32-bit Windows: the
 *    callee removes its arguments, so every operation must be declared with
 *    exactly the argument count of its slot).
 *  - IMsgObject has a virtual destructor. It occupies one vtable slot under
 *    MSVC and two under the Itanium C++ ABI (g++, clang, MinGW-w64), so a
 *    host must be built with a compiler of the same ABI family as the DLL.
 *    Slots after the destructor are numbered here as MSVC numbers them.
 *  - Records (FriendInfo, RoomInfo, UserEntry) are packed: no padding on any
 *    compiler or word size.
 *  - Exported factories have C linkage and the default C calling convention,
 *    so their names are undecorated.
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

/* Number of vtable slots the virtual destructor of IMsgObject occupies. */
#if defined(_MSC_VER)
#define MSG_DTOR_SLOTS 1
#else
#define MSG_DTOR_SLOTS 2
#endif

#endif /* MSG_EXPORT_H_ */
