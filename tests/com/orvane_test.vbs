' Orvane.DLL from VBScript, as a script host drives it: by ProgID and late binding.
' Every check traps its own error (cscript would ignore an uncaught one and exit 0), the
' script prints "N passed, N failed" and quits with the failure count.
Option Explicit
Dim passed, failed
Dim o
passed = 0
failed = 0

Sub Check(ok, what)
    If ok Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "  FAILED " & what
    End If
End Sub

Function Describe(v)
    Describe = "[" & TypeName(v) & "] " & CStr(v)
End Function

' Checks the error left by the statement just before it on the same line (the caller runs
' under On Error Resume Next and clears Err first). This procedure has no On Error statement
' of its own, since one would clear Err.
Sub Expect(statement, number, message)
    Check Err.Number = number And Err.Description = message, statement & ": got &H" & _
        Hex(Err.Number) & " """ & Err.Description & """, expected &H" & Hex(number) & _
        " """ & message & """"
    Err.Clear
End Sub

Const E_INVALIDARG = &H80070057
Const E_FAIL = &H80004005
Const NOT_ALLOCATED = "Object not allocated. Please invoke 'create_orvane()'."
Const LOCKED = "Object is already initialized. To use a different mode you must create a new one."

Sub RunTests()
    Dim x
    On Error Resume Next
    Set o = CreateObject("Orvane.CoOrvane")
    Check Err.Number = 0, "CreateObject(""Orvane.CoOrvane""): &H" & Hex(Err.Number) & " " & Err.Description
    If Err.Number <> 0 Then Exit Sub
    Dim versioned
    Set versioned = CreateObject("Orvane.CoOrvane.1")
    Check Err.Number = 0, "CreateObject(""Orvane.CoOrvane.1"")"
    ' Plain reads run with errors fatal: an unexpected one ends the script before its summary
    ' line, which the test runner reports as a failure.
    On Error GoTo 0

    ' Defaults, with the automation types the type library declares.
    Check o.lines = 128 And TypeName(o.lines) = "Long", "default lines " & Describe(o.lines)
    Check o.columns = 128, "default columns " & Describe(o.columns)
    Check o.timederivative_mode = "recursive", "default timederivative_mode " & Describe(o.timederivative_mode)
    Check o.computation_mode = "all", "default computation_mode " & Describe(o.computation_mode)
    Check o.input_filter = 0, "default input_filter " & Describe(o.input_filter)
    Check o.regularizer = 0.01 And TypeName(o.regularizer) = "Double", "default regularizer " & Describe(o.regularizer)
    ' Names are case-insensitive for script hosts.
    Check o.LINES = 128, "o.LINES"
    Check o.Columns = 128, "o.Columns"

    ' Every setting with its validation message. Each statement runs on under an error; the
    ' Expect after it checks the error.
    On Error Resume Next
    Err.Clear : o.lines = 0 : Expect "o.lines = 0", E_INVALIDARG, "Number of lines must be a positive integer"
    Err.Clear : o.lines = -5 : Expect "o.lines = -5", E_INVALIDARG, "Number of lines must be a positive integer"
    Err.Clear : o.columns = 6 : Expect "o.columns = 6", E_INVALIDARG, "Number of image columns must be a positive integer multiple of 4."
    Err.Clear : o.columns = -4 : Expect "o.columns = -4", E_INVALIDARG, "Number of image columns must be a positive integer multiple of 4."
    Err.Clear : o.computation_mode = "Orvane" : Expect "o.computation_mode = ""Orvane""", E_FAIL, "Invalid Mode"
    Err.Clear : o.computation_mode = "" : Expect "o.computation_mode = """"", E_FAIL, "Invalid Mode"
    Err.Clear : o.timederivative_mode = "fast" : Expect "o.timederivative_mode = ""fast""", E_FAIL, "Invalid Mode"
    Err.Clear : o.lines = 24 : Expect "o.lines = 24", 0, ""
    Err.Clear : o.columns = 32 : Expect "o.columns = 32", 0, ""
    Err.Clear : o.computation_mode = "orvane" : Expect "o.computation_mode = ""orvane""", 0, ""
    Err.Clear : o.timederivative_mode = "batch" : Expect "o.timederivative_mode = ""batch""", 0, ""
    Err.Clear : o.input_filter = 1 : Expect "o.input_filter = 1", 0, ""
    Err.Clear : o.regularizer = 0.5 : Expect "o.regularizer = 0.5", 0, ""
    Err.Clear : o.LINES = 16 : Expect "o.LINES = 16", 0, ""
    On Error GoTo 0
    Check o.lines = 16 And o.columns = 32 And o.computation_mode = "orvane" And _
        o.timederivative_mode = "batch" And o.input_filter = 1 And o.regularizer = 0.5, "settings read back"

    ' The two list methods: one keyword per line, each ended by a line feed.
    Check o.list_timederivative_modes = "recursive" & vbLf & "batch" & vbLf, "list_timederivative_modes"
    Check o.list_computation_modes() = "changedetection" & vbLf & "orvane" & vbLf & "affineparams" & _
        vbLf & "all" & vbLf, "list_computation_modes"

    ' State errors around create and destroy.
    On Error Resume Next
    Err.Clear : o.process_data 1 : Expect "o.process_data 1", E_FAIL, NOT_ALLOCATED
    Err.Clear : x = o.Un : Expect "Dim x : x = o.Un", E_FAIL, NOT_ALLOCATED
    Err.Clear : x = o.imgbuffer(0) : Expect "Dim y : y = o.imgbuffer(0)", E_FAIL, NOT_ALLOCATED
    Err.Clear : o.destroy_orvane : Expect "o.destroy_orvane", 0, ""
    Err.Clear : o.create_orvane : Expect "o.create_orvane", 0, ""
    ' An image arrives as an array the script can hold and pass on, but not index.
    Err.Clear : x = o.Un : Expect "x = o.Un", 0, ""
    Check IsArray(x), "o.Un is an array"
    Err.Clear : x = o.imgbuffer(4) : Expect "x = o.imgbuffer(4)", 0, ""
    Check IsArray(x), "o.imgbuffer(4) is an array"
    Err.Clear : o.create_orvane : Expect "o.create_orvane", E_FAIL, "Object already initialized"
    Err.Clear : o.computation_mode = "all" : Expect "o.computation_mode = ""all""", E_FAIL, LOCKED
    Err.Clear : o.timederivative_mode = "batch" : Expect "o.timederivative_mode = ""batch""", E_FAIL, LOCKED
    ' A script cannot build a float array: what it can pass is refused (an array of variants
    ' by its element type).
    Err.Clear : o.process_data 1.5 : Expect "o.process_data 1.5", E_INVALIDARG, "Invalid Input Argument"
    Err.Clear : o.process_data Array(1, 2, 3) : Expect "o.process_data Array(1, 2, 3)", E_INVALIDARG, "Invalid Data Type"
    Err.Clear : o.lines = 16 : Expect "o.lines = 16", 0, ""
    Err.Clear : o.process_data 1 : Expect "o.process_data 1", E_FAIL, "Critical properties have changed. Object must be re-created."
    Err.Clear : o.destroy_orvane : Expect "o.destroy_orvane", 0, ""
    Err.Clear : o.create_orvane : Expect "o.create_orvane", 0, ""
    Err.Clear : o.destroy_orvane : Expect "o.destroy_orvane", 0, ""
    Err.Clear : o.computation_mode = "all" : Expect "o.computation_mode = ""all""", 0, ""
End Sub

RunTests
WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
