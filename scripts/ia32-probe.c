/* Exits with 0 when this machine runs 32-bit x86 code in a 64-bit process,
 * as Wine's WoW64 mode needs: a far call into the 32-bit user code segment
 * (0x23), on a stack below 4 GB. A kernel without IA-32 emulation (or one
 * that has it switched off, as some virtual machines do) faults instead. */
#define _GNU_SOURCE
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <sys/mman.h>

static sigjmp_buf faulted;
static void on_fault(int signal_number) {
    (void)signal_number;
    siglongjmp(faulted, 1);
}

/* A far pointer to the 32-bit routine below, which only returns. */
struct __attribute__((packed)) far_pointer {
    uint32_t offset;
    uint16_t selector;
} target;
extern char return_from_32bit[];
__asm__(".code32\nreturn_from_32bit: lret\n.code64\n");

int main(void) {
    char* stack = mmap(0, 65536, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT,
                       -1, 0);
    if (stack == MAP_FAILED || (uintptr_t)return_from_32bit > UINT32_MAX) {
        return 2;
    }
    signal(SIGSEGV, on_fault);
    signal(SIGBUS, on_fault);
    if (sigsetjmp(faulted, 1) != 0) {
        return 1;
    }
    target.offset = (uint32_t)(uintptr_t)return_from_32bit;
    target.selector = 0x23;
    __asm__ volatile("mov %%rsp, %%rbx\n\t"
                     "mov %0, %%rsp\n\t"
                     "lcall *target(%%rip)\n\t"
                     "mov %%rbx, %%rsp"
                     :
                     : "r"(stack + 65536 - 64)
                     : "rbx", "memory");
    return 0;
}
