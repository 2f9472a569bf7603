// Orvane.DLL from JScript, as a script host drives it: by ProgID and late binding.
// Every check traps its own error (cscript would ignore an uncaught one and exit 0); the script
// prints "N passed, N failed" and quits with the failure count.
var passed = 0, failed = 0;

function check(ok, what) {
    if (ok) {
        passed++;
    } else {
        failed++;
        WScript.Echo("  FAILED " + what);
    }
}

function hex(n) {
    return "0x" + ((n < 0 ? n + 0x100000000 : n).toString(16).toUpperCase());
}

// Runs f, which must throw with the given HRESULT and message (or succeed when number is 0).
function expect(what, f, number, message) {
    var gotNumber = 0, gotMessage = "";
    try {
        f();
    } catch (e) {
        gotNumber = e.number;
        gotMessage = e.description;
    }
    check(gotNumber == number && gotMessage == message,
          what + ": got " + hex(gotNumber) + " \"" + gotMessage + "\", expected " + hex(number) +
          " \"" + message + "\"");
}

var E_INVALIDARG = 0x80070057 - 0x100000000;
var E_FAIL = 0x80004005 - 0x100000000;
var NOT_ALLOCATED = "Object not allocated. Please invoke 'create_orvane()'.";
var LOCKED = "Object is already initialized. To use a different mode you must create a new one.";

function run() {
    var o;
    try {
        o = new ActiveXObject("Orvane.CoOrvane");
    } catch (e) {
        check(false, "new ActiveXObject(\"Orvane.CoOrvane\"): " + hex(e.number) + " " + e.description);
        return;
    }
    check(o.lines === 128, "default lines " + o.lines);
    check(o.columns === 128, "default columns " + o.columns);
    check(o.timederivative_mode === "recursive", "default timederivative_mode " + o.timederivative_mode);
    check(o.computation_mode === "all", "default computation_mode " + o.computation_mode);
    check(o.input_filter === 0, "default input_filter " + o.input_filter);
    check(o.regularizer === 0.01, "default regularizer " + o.regularizer);
    // JScript is case-sensitive itself but looks names up case-insensitively through IDispatch.
    check(o.LINES === 128, "o.LINES");

    expect("lines = 0", function () { o.lines = 0; }, E_INVALIDARG,
           "Number of lines must be a positive integer");
    expect("columns = 6", function () { o.columns = 6; }, E_INVALIDARG,
           "Number of image columns must be a positive integer multiple of 4.");
    expect("columns = 0", function () { o.columns = 0; }, E_INVALIDARG,
           "Number of image columns must be a positive integer multiple of 4.");
    expect("computation_mode = 'ALL'", function () { o.computation_mode = "ALL"; }, E_FAIL,
           "Invalid Mode");
    expect("timederivative_mode = ''", function () { o.timederivative_mode = ""; }, E_FAIL,
           "Invalid Mode");
    expect("lines = 20", function () { o.lines = 20; }, 0, "");
    expect("columns = 24", function () { o.columns = 24; }, 0, "");
    expect("computation_mode = 'changedetection'", function () { o.computation_mode = "changedetection"; }, 0, "");
    expect("timederivative_mode = 'batch'", function () { o.timederivative_mode = "batch"; }, 0, "");
    expect("input_filter = -3", function () { o.input_filter = -3; }, 0, "");
    expect("regularizer = -1", function () { o.regularizer = -1; }, 0, "");
    check(o.lines === 20 && o.columns === 24 && o.computation_mode === "changedetection" &&
          o.timederivative_mode === "batch" && o.input_filter === -3 && o.regularizer === -1,
          "settings read back");

    check(o.list_timederivative_modes() === "recursive\nbatch\n", "list_timederivative_modes");
    check(o.list_computation_modes() === "changedetection\norvane\naffineparams\nall\n",
          "list_computation_modes");

    expect("process_data before create", function () { o.process_data(1); }, E_FAIL, NOT_ALLOCATED);
    expect("It before create", function () { return o.It; }, E_FAIL, NOT_ALLOCATED);
    expect("imgdebug(2) before create", function () { return o.imgdebug(2); }, E_FAIL, NOT_ALLOCATED);
    expect("destroy_orvane without an engine", function () { o.destroy_orvane(); }, 0, "");
    expect("create_orvane", function () { o.create_orvane(); }, 0, "");
    expect("create_orvane again", function () { o.create_orvane(); }, E_FAIL, "Object already initialized");
    expect("computation_mode while created", function () { o.computation_mode = "all"; }, E_FAIL, LOCKED);
    // A script cannot build a float array: what it can pass is refused.
    expect("process_data('frame')", function () { o.process_data("frame"); }, E_INVALIDARG,
           "Invalid Input Argument");
    expect("columns = 24 while created", function () { o.columns = 24; }, 0, "");
    expect("process_data when stale", function () { o.process_data(1); }, E_FAIL,
           "Critical properties have changed. Object must be re-created.");
    expect("destroy_orvane", function () { o.destroy_orvane(); }, 0, "");
    expect("create_orvane after destroy", function () { o.create_orvane(); }, 0, "");
    expect("destroy_orvane again", function () { o.destroy_orvane(); }, 0, "");
}

try {
    run();
} catch (e) {
    check(false, "unexpected error " + hex(e.number) + " " + e.description);
}
WScript.Echo(passed + " passed, " + failed + " failed");
WScript.Quit(failed);
