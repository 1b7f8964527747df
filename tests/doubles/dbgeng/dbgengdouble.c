/* Test double of the debugger engine (dbgeng.dll): Wine's engine cannot open dump files, so the
 * kernel-dump analysis is tested against this one. DebugCreate hands out one engine object that
 * answers IDebugClient and IDebugControl and replays, through the caller's output callbacks, the
 * output written in a transcript file for each step: opening the dump, waiting for its event and
 * each executed command. Every call it receives is appended to a call log.
 *
 * It exists only inside a test Wine prefix (install.sh) and reads its settings from the caller's
 * environment when DebugCreate is called:
 *   NORVO_DBGENG_TRANSCRIPT  transcript file (no transcript: every step succeeds silently)
 *   NORVO_DBGENG_CALLS       file that receives one line per call (no log when unset)
 *
 * Transcript format, one section per step, each opened by a line starting with '@':
 *   @create                 DebugCreate
 *   @query                  QueryInterface for IDebugControl
 *   @callbacks              SetOutputCallbacks with a non-null object
 *   @open                   OpenDumpFile: the body is printed while the dump loads
 *   @wait                   WaitForEvent
 *   @execute <command>      Execute of exactly that command text
 * Inside a section, "@result 0x8000FFFF" sets the step's result (default S_OK) and "@piece" starts
 * the next separate Output call; every other line is output text followed by "\n". Lines starting
 * with '#' outside a section are comments. Execute with DEBUG_EXECUTE_ECHO prints the command and
 * its first piece of output together in one Output call, the way the engine's buffered output
 * reaches a client. */
#define CINTERFACE
#include <windows.h>
#include <initguid.h>
#include <dbgeng.h>

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_TRANSCRIPT (512 * 1024)
#define MAX_SECTIONS 64
#define MAX_PIECES 64

typedef struct Section {
    char kind[16];
    char command[256];
    HRESULT result;
    int pieceCount;
    char *pieces[MAX_PIECES];
} Section;

typedef struct Engine {
    IDebugClient client;
    IDebugControl control;
    LONG references;
    IDebugOutputCallbacks *callbacks;
    int sectionCount;
    Section sections[MAX_SECTIONS];
} Engine;

static char callLog[MAX_PATH];

static void record(const char *format, ...)
{
    char line[1024];
    va_list args;
    HANDLE file;
    DWORD written = 0;
    int length;
    if (!callLog[0])
        return;
    va_start(args, format);
    length = _vsnprintf(line, sizeof(line) - 3, format, args);
    va_end(args);
    if (length < 0 || length > (int)sizeof(line) - 3)
        length = (int)sizeof(line) - 3;
    line[length++] = '\r';
    line[length++] = '\n';
    file = CreateFileA(callLog, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

/* ---- transcript ---------------------------------------------------------------------------- */

static char *readWhole(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    DWORD size, got = 0;
    char *text;
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    size = GetFileSize(file, NULL);
    if (size == INVALID_FILE_SIZE || size > MAX_TRANSCRIPT) {
        CloseHandle(file);
        return NULL;
    }
    text = (char *)calloc(1, size + 1);
    if (text && !ReadFile(file, text, size, &got, NULL)) {
        free(text);
        text = NULL;
    }
    CloseHandle(file);
    return text;
}

static int appendText(char **piece, const char *line, size_t length)
{
    size_t old = *piece ? strlen(*piece) : 0;
    char *grown = (char *)realloc(*piece, old + length + 2);
    if (!grown)
        return 0;
    memcpy(grown + old, line, length);
    grown[old + length] = '\n';
    grown[old + length + 1] = '\0';
    *piece = grown;
    return 1;
}

static Section *newPiece(Section *section)
{
    if (section && section->pieceCount < MAX_PIECES) {
        section->pieces[section->pieceCount] = (char *)calloc(1, 1);
        if (section->pieces[section->pieceCount])
            section->pieceCount++;
    }
    return section;
}

static void loadTranscript(Engine *engine, const char *path)
{
    char *text = readWhole(path), *at;
    Section *current = NULL;
    if (!text) {
        record("transcript %s cannot be read", path);
        return;
    }
    for (at = text; *at;) {
        char *end = strchr(at, '\n');
        size_t length = end ? (size_t)(end - at) : strlen(at);
        char line[512];
        if (length > 0 && at[length - 1] == '\r')
            length--;
        if (length >= sizeof(line))
            length = sizeof(line) - 1;
        memcpy(line, at, length);
        line[length] = '\0';
        at = end ? end + 1 : at + strlen(at);

        if (strncmp(line, "@result ", 8) == 0 && current) {
            current->result = (HRESULT)strtoul(line + 8, NULL, 0);
        } else if (strcmp(line, "@piece") == 0 && current) {
            newPiece(current);
        } else if (line[0] == '@' && engine->sectionCount < MAX_SECTIONS) {
            char *blank = strchr(line, ' ');
            current = &engine->sections[engine->sectionCount++];
            if (blank) {
                *blank = '\0';
                lstrcpynA(current->command, blank + 1, sizeof(current->command));
            }
            lstrcpynA(current->kind, line + 1, sizeof(current->kind));
        } else if (current) {
            if (current->pieceCount == 0)
                newPiece(current);
            if (current->pieceCount > 0)
                appendText(&current->pieces[current->pieceCount - 1], line, length);
        }
    }
    free(text);
}

static Section *findSection(Engine *engine, const char *kind, const char *command)
{
    int i;
    for (i = 0; i < engine->sectionCount; ++i)
        if (strcmp(engine->sections[i].kind, kind) == 0 && (!command || strcmp(engine->sections[i].command, command) == 0))
            return &engine->sections[i];
    return NULL;
}

static void say(Engine *engine, const char *text)
{
    if (engine->callbacks)
        engine->callbacks->lpVtbl->Output(engine->callbacks, DEBUG_OUTPUT_NORMAL, text);
}

/* Prints a section's pieces (the first one after `echo`, when given) and returns its result. */
static HRESULT replay(Engine *engine, const char *kind, const char *command, const char *echo)
{
    Section *section = findSection(engine, kind, command);
    int i;
    if (!section) {
        if (echo)
            say(engine, echo);
        return S_OK;
    }
    for (i = 0; i < section->pieceCount; ++i) {
        if (i == 0 && echo) {
            size_t size = strlen(echo) + strlen(section->pieces[0]) + 1;
            char *joined = (char *)malloc(size);
            if (joined) {
                lstrcpyA(joined, echo);
                lstrcatA(joined, section->pieces[0]);
                say(engine, joined);
                free(joined);
            }
        } else {
            say(engine, section->pieces[i]);
        }
    }
    if (echo && section->pieceCount == 0)
        say(engine, echo);
    return section->result;
}

static void freeEngine(Engine *engine)
{
    int i, j;
    if (engine->callbacks)
        engine->callbacks->lpVtbl->Release(engine->callbacks);
    for (i = 0; i < engine->sectionCount; ++i)
        for (j = 0; j < engine->sections[i].pieceCount; ++j)
            free(engine->sections[i].pieces[j]);
    free(engine);
}

/* ---- the shared object ------------------------------------------------------------------------ */

#define FROM_CLIENT(p) ((Engine *)((char *)(p) - offsetof(Engine, client)))
#define FROM_CONTROL(p) ((Engine *)((char *)(p) - offsetof(Engine, control)))

static HRESULT query(Engine *engine, REFIID iid, void **out)
{
    if (!out)
        return E_POINTER;
    *out = NULL;
    if (IsEqualIID(iid, &IID_IUnknown) || IsEqualIID(iid, &IID_IDebugClient)) {
        *out = &engine->client;
    } else if (IsEqualIID(iid, &IID_IDebugControl)) {
        Section *forced = findSection(engine, "query", NULL);
        record("QueryInterface IDebugControl");
        if (forced && FAILED(forced->result))
            return forced->result;
        *out = &engine->control;
    } else {
        record("QueryInterface other");
        return E_NOINTERFACE;
    }
    InterlockedIncrement(&engine->references);
    return S_OK;
}

static ULONG release(Engine *engine, const char *which)
{
    LONG left = InterlockedDecrement(&engine->references);
    record("Release %s %ld", which, (long)left);
    if (left == 0)
        freeEngine(engine);
    return (ULONG)left;
}

/* Every slot the analysis does not use answers E_NOTIMPL with the right signature. */
#define UNUSED(Iface, name, ...) \
    static HRESULT STDMETHODCALLTYPE Stub_##Iface##_##name(Iface *This, __VA_ARGS__) \
    { (void)This; record(#Iface "::" #name " (not implemented)"); return E_NOTIMPL; }
#define UNUSEDV(Iface, name, ...) \
    static HRESULT STDMETHODVCALLTYPE Stub_##Iface##_##name(Iface *This, __VA_ARGS__) \
    { (void)This; record(#Iface "::" #name " (not implemented)"); return E_NOTIMPL; }
#define UNUSED0(Iface, name) \
    static HRESULT STDMETHODCALLTYPE Stub_##Iface##_##name(Iface *This) \
    { (void)This; record(#Iface "::" #name " (not implemented)"); return E_NOTIMPL; }

#include "unused.inc"

/* IDebugClient */
static HRESULT STDMETHODCALLTYPE ClientQueryInterface(IDebugClient *This, REFIID iid, PVOID *out)
{
    return query(FROM_CLIENT(This), iid, out);
}
static ULONG STDMETHODCALLTYPE ClientAddRef(IDebugClient *This)
{
    return (ULONG)InterlockedIncrement(&FROM_CLIENT(This)->references);
}
static ULONG STDMETHODCALLTYPE ClientRelease(IDebugClient *This)
{
    return release(FROM_CLIENT(This), "IDebugClient");
}
static HRESULT STDMETHODCALLTYPE ClientOpenDumpFile(IDebugClient *This, PCSTR path)
{
    Engine *engine = FROM_CLIENT(This);
    record("OpenDumpFile %s", path ? path : "(null)");
    return replay(engine, "open", NULL, NULL);
}
static HRESULT STDMETHODCALLTYPE ClientEndSession(IDebugClient *This, ULONG flags)
{
    record("EndSession 0x%lx", (unsigned long)flags);
    (void)This;
    return S_OK;
}
static HRESULT STDMETHODCALLTYPE ClientSetOutputCallbacks(IDebugClient *This, PDEBUG_OUTPUT_CALLBACKS callbacks)
{
    Engine *engine = FROM_CLIENT(This);
    Section *forced = findSection(engine, "callbacks", NULL);
    record("SetOutputCallbacks %s", callbacks ? "set" : "null");
    if (callbacks && forced && FAILED(forced->result))
        return forced->result;
    if (callbacks)
        callbacks->lpVtbl->AddRef(callbacks);
    if (engine->callbacks)
        engine->callbacks->lpVtbl->Release(engine->callbacks);
    engine->callbacks = callbacks;
    return S_OK;
}
static HRESULT STDMETHODCALLTYPE ClientGetOutputCallbacks(IDebugClient *This, PDEBUG_OUTPUT_CALLBACKS *callbacks)
{
    Engine *engine = FROM_CLIENT(This);
    if (!callbacks)
        return E_POINTER;
    *callbacks = engine->callbacks;
    return S_OK;
}

/* IDebugControl */
static HRESULT STDMETHODCALLTYPE ControlQueryInterface(IDebugControl *This, REFIID iid, PVOID *out)
{
    return query(FROM_CONTROL(This), iid, out);
}
static ULONG STDMETHODCALLTYPE ControlAddRef(IDebugControl *This)
{
    return (ULONG)InterlockedIncrement(&FROM_CONTROL(This)->references);
}
static ULONG STDMETHODCALLTYPE ControlRelease(IDebugControl *This)
{
    return release(FROM_CONTROL(This), "IDebugControl");
}
static HRESULT STDMETHODCALLTYPE ControlWaitForEvent(IDebugControl *This, ULONG flags, ULONG timeout)
{
    record("WaitForEvent 0x%lx 0x%lx", (unsigned long)flags, (unsigned long)timeout);
    return replay(FROM_CONTROL(This), "wait", NULL, NULL);
}
static HRESULT STDMETHODCALLTYPE ControlExecute(IDebugControl *This, ULONG outputControl, PCSTR command, ULONG flags)
{
    char echo[300];
    if (!command)
        return E_INVALIDARG;
    record("Execute 0x%lx 0x%lx %s", (unsigned long)outputControl, (unsigned long)flags, command);
    _snprintf(echo, sizeof(echo) - 1, "%s\n", command);
    echo[sizeof(echo) - 1] = '\0';
    return replay(FROM_CONTROL(This), "execute", command, (flags & DEBUG_EXECUTE_ECHO) ? echo : NULL);
}

static IDebugClientVtbl clientTable;
static IDebugControlVtbl controlTable;

/* True when every slot of both tables is set (the generated list missed none). */
static int tablesComplete(void)
{
    void *const *slots = (void *const *)&clientTable;
    size_t i;
    for (i = 0; i < sizeof(clientTable) / sizeof(void *); ++i)
        if (!slots[i])
            return 0;
    slots = (void *const *)&controlTable;
    for (i = 0; i < sizeof(controlTable) / sizeof(void *); ++i)
        if (!slots[i])
            return 0;
    return 1;
}

static void fillTables(void)
{
#include "tables.inc"
    clientTable.QueryInterface = ClientQueryInterface;
    clientTable.AddRef = ClientAddRef;
    clientTable.Release = ClientRelease;
    clientTable.OpenDumpFile = ClientOpenDumpFile;
    clientTable.EndSession = ClientEndSession;
    clientTable.SetOutputCallbacks = ClientSetOutputCallbacks;
    clientTable.GetOutputCallbacks = ClientGetOutputCallbacks;
    controlTable.QueryInterface = ControlQueryInterface;
    controlTable.AddRef = ControlAddRef;
    controlTable.Release = ControlRelease;
    controlTable.WaitForEvent = ControlWaitForEvent;
    controlTable.Execute = ControlExecute;
}

HRESULT WINAPI DebugCreate(REFIID iid, PVOID *out)
{
    static LONG filled;
    char transcript[MAX_PATH];
    Engine *engine;
    Section *forced;
    HRESULT result;
    if (!out)
        return E_POINTER;
    *out = NULL;
    if (!GetEnvironmentVariableA("NORVO_DBGENG_CALLS", callLog, sizeof(callLog)))
        callLog[0] = '\0';
    if (InterlockedExchange(&filled, 1) == 0)
        fillTables();
    if (!tablesComplete()) {
        record("DebugCreate: a slot of the engine's tables is missing");
        return E_FAIL;
    }
    engine = (Engine *)calloc(1, sizeof(Engine));
    if (!engine)
        return E_OUTOFMEMORY;
    engine->client.lpVtbl = &clientTable;
    engine->control.lpVtbl = &controlTable;
    engine->references = 1;
    if (GetEnvironmentVariableA("NORVO_DBGENG_TRANSCRIPT", transcript, sizeof(transcript)))
        loadTranscript(engine, transcript);
    forced = findSection(engine, "create", NULL);
    record("DebugCreate %s", IsEqualIID(iid, &IID_IDebugClient) ? "IDebugClient" : "other");
    if (forced && FAILED(forced->result)) {
        freeEngine(engine);
        return forced->result;
    }
    result = query(engine, iid, out);
    InterlockedDecrement(&engine->references);
    if (FAILED(result))
        freeEngine(engine);
    return result;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
