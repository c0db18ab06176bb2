' What a late-bound client of the fan service sees: the manager's capabilities, then every fan
' with its duty and its profiles. A member the service does not offer shows the error it gives.
Option Explicit
On Error Resume Next

Function Shown(value)
    If Err.Number <> 0 Then
        Shown = "(error " & Err.Number & ")"
        Err.Clear
    Else
        Shown = value
    End If
End Function

Dim manager, fans, fan, profile, v
Set manager = CreateObject("QuilFanControlService.FanControlManager")
If Err.Number <> 0 Then
    WScript.Echo "FanControlManager cannot be created (error " & Err.Number & ")"
    WScript.Quit 1
End If
WScript.Echo "FanControlManager (" & TypeName(manager) & ")"
v = Empty: v = manager.ConstraintType:        WScript.Echo "  ConstraintType = " & Shown(v)
v = Empty: v = manager.MaxStepTime:           WScript.Echo "  MaxStepTime = " & Shown(v)
v = Empty: v = manager.MaxTolerance:          WScript.Echo "  MaxTolerance = " & Shown(v)
v = Empty: v = manager.IsSIOSupportedRPM:     WScript.Echo "  IsSIOSupportedRPM = " & Shown(v)
v = Empty: v = manager.RpmPerstep:            WScript.Echo "  RpmPerstep = " & Shown(v)
v = Empty: v = manager.RpmSmoothFreq:         WScript.Echo "  RpmSmoothFreq = " & Shown(v)
v = Empty: v = manager.OneSencitiveSupported: WScript.Echo "  OneSencitiveSupported = " & Shown(v)
v = Empty: v = manager.IsSupportFanStop:      WScript.Echo "  IsSupportFanStop = " & Shown(v)

Set fans = manager.Controls
If Err.Number <> 0 Then
    WScript.Echo "Fans: " & Shown(Empty)
    WScript.Quit 0
End If
WScript.Echo "Fans: " & fans.Count
For Each fan In fans
    v = Empty: v = fan.Name:                WScript.Echo "  " & Shown(v)
    v = Empty: v = fan.DutyCycle:           WScript.Echo "    duty " & Shown(v) & " of 255"
    v = Empty: v = fan.StartupProfileIndex: WScript.Echo "    current profile " & Shown(v)
    For Each profile In fan.Profiles
        v = Empty: v = profile.Id & " " & profile.Name & ", " & profile.FanCurve.Count & " points"
        WScript.Echo "    profile " & Shown(v)
    Next
    If Err.Number <> 0 Then WScript.Echo "    profiles " & Shown(Empty)
Next
