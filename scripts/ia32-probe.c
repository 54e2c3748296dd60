// Tells whether this machine runs 32-bit x86 code the way Wine's WoW64 mode does: inside a 64-bit
// process, by a far jump to the kernel's 32-bit user code segment and back. A kernel with its 32-bit
// emulation switched off gives that segment no access, and the jump faults. The attempt runs in a
// child process, so a fault ends only the child.
//
//   ia32-probe      prints "yes", or "no: <why>", and exits 0 (yes), 1 (no) or 2 (could not tell)
#define _GNU_SOURCE
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

enum {
    user32_code_segment = 0x23,  // the kernel's 32-bit user code segment (its GDT entry 4, ring 3)
    user64_code_segment = 0x33,  // the 64-bit one (GDT entry 6, ring 3)
    reached_64bit_again = 42,    // the child's exit status when the round trip worked
    no_low_memory = 3,
};

// The page, below 4 GiB so that 32-bit code can address it:
//   +0x000  far pointer (32-bit offset, 16-bit selector) to +0x100 in the 32-bit segment
//   +0x100  32-bit code: jmp far user64_code_segment:+0x200
//   +0x200  64-bit code: exit_group(reached_64bit_again)
static void roundTrip(void) {
    unsigned char* page =
        mmap(NULL, 4096, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (page == MAP_FAILED) {
        _exit(no_low_memory);
    }
    const uint32_t base = (uint32_t)(uintptr_t)page;

    const uint32_t code32 = base + 0x100;
    const uint16_t segment32 = user32_code_segment;
    memcpy(page, &code32, sizeof code32);
    memcpy(page + 4, &segment32, sizeof segment32);

    const uint32_t code64 = base + 0x200;
    const uint16_t segment64 = user64_code_segment;
    page[0x100] = 0xea;  // jmp ptr16:32
    memcpy(page + 0x101, &code64, sizeof code64);
    memcpy(page + 0x105, &segment64, sizeof segment64);

    static const unsigned char exitGroup[] = {
        0xb8, 0xe7,
        0x00, 0x00,
        0x00,  // mov eax, 231 (exit_group)
        0xbf, reached_64bit_again,
        0,    0,
        0x00,        // mov edi, reached_64bit_again
        0x0f, 0x05,  // syscall
    };
    memcpy(page + 0x200, exitGroup, sizeof exitGroup);

    __asm__ volatile("ljmpl *(%0)" : : "r"(page) : "memory");
    _exit(1);  // not reached
}

int main(void) {
    fflush(stdout);
    const pid_t child = fork();
    if (child < 0) {
        printf("no: cannot start a process to try it\n");
        return 2;
    }
    if (child == 0) {
        roundTrip();
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) {
        printf("no: cannot wait for the process that tried it\n");
        return 2;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == reached_64bit_again) {
        printf("yes\n");
        return 0;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == no_low_memory) {
        printf("no: no memory below 4 GiB for 32-bit code\n");
        return 2;
    }
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGSEGV || WTERMSIG(status) == SIGBUS)) {
        printf("no: 32-bit emulation is off in the kernel\n");
        return 1;
    }
    printf("no: the 32-bit code ended with status %d\n", status);
    return 1;
}
