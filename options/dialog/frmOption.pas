// The options dialog's script. The host's form engine runs it on the form
// built from the layout resource: the request tree, the unit and data type
// lists, the host's OK and Cancel buttons and the file filter.
var
  __pBot, pan0, pan1, pan2: TPanel;
  lblParams, lblMinInt: TLabel;
  spMinInt: TSpinEdit;
  chkExportAll, chkCombine: TCheckBox;
  tmpMenu: TPopupMenu;
  MsgSendReq, MsgDevAddr, MsgReadAddr, MsgRegRead, MsgDataType, MsgReqTimeout: TMenuItem;
  MsgReqMethod, MsgMOnce, MsgPolling, MsgPollInt, MsgPollUnits, MsgName: TMenuItem;
  MsgScale, MsgDefault, TxtMillisecond, TxtSecond, TxtMinute, TxtHour: TMenuItem;
  MsgReq, FilterEds, FilterAll, MsgImportEds, PollUnitList, DataTypeList: TMenuItem;
  OpenDialog1: TOpenDialog;
  propTree: TVirtualParamTreeview;
  panButton: TWinControl;

const
  VALUE_SEP = '==';
  LIST_SEP = '||';

procedure FormCreate(Sender: TObject);
var
  Module: TComponent;
  DataTypes: string;
begin
  Module := Owner;
  if Sender <> nil then
  begin
    // One request per category node; each line is a field: key, label,
    // kind, range and default, nested by its leading blanks.
    propTree := CreateVirtualParamTreeview(Self, pan0,
      'propTree~Requests queue' + '~RootNodeName,MODBUSRTUQUERY,Panel,OpenSave',
      'Request~@MsgReq~dtCategory,Editable' + LineEnding +
      ' Enabled~@MsgSendReq~dtCheckbox~~2' + LineEnding +
      ' Device~@MsgDevAddr~dtValidChars~0123456789;,~' + LineEnding +
      ' Address~@MsgReadAddr~dtString~~Tag' + LineEnding +
      ' Number~@MsgRegRead~dtInteger~1,65535~1' + LineEnding +
      ' DataType~@MsgDataType~dtComboDropDownValuesList~@DataTypeList~T00' + LineEnding +
      ' Timeout~@MsgReqTimeout~dtInteger~1,65535~3000' + LineEnding +
      ' RequestMethod~@MsgReqMethod~dtCategory' + LineEnding +
      '  MethodOnce~@MsgMOnce~dtCheckbox,RadioButton~~0' + LineEnding +
      '  MethodPoll~@MsgPolling~dtCheckbox,RadioButton~~2' + LineEnding +
      '   PollInterval~@MsgPollInt~dtInteger~1,655350~1000' + LineEnding +
      '   PollUnits~@MsgPollUnits~dtComboDropDownValuesList~@PollUnitList~MS' + LineEnding +
      ' Name~@MsgName~dtUpperCase~~' + LineEnding +
      ' Default~@MsgDefault~dtString~~0' + LineEnding +
      ' Scale~@MsgScale~dtExtended~~1');
    propTree.HelpContext := 1;
    InitPluginConfigForm(Self, [coCloseForm, coStdControls]);

    // The stored unit is the value after the separator.
    PollUnitList.Caption :=
      TxtMillisecond.Caption + VALUE_SEP + 'MS' + LIST_SEP +
      TxtSecond.Caption + VALUE_SEP + 'S' + LIST_SEP +
      TxtMinute.Caption + VALUE_SEP + 'M' + LIST_SEP +
      TxtHour.Caption + VALUE_SEP + 'H';

    // The plug-in answers with the data types in its own language.
    if Module.CallEvent('GetDataTypeList', '', DataTypes) then
      DataTypeList.Caption := DataTypes;

    FindComponent('btnOK').OnClick := @btnOKClick;
    FindComponent('btnCancel').OnClick := @btnCancelClick;

    // A host form with a panel beside its tree takes the export-all check
    // box there; otherwise it stays in its own panel above pan2.
    panButton := FindComponent('panParamTreeview');
    if panButton <> nil then
    begin
      pan1.Parent := panButton;
      pan1.Align := alClient;
      pan1.Left := 200;
    end;

    SetDialogFilter(OpenDialog1, [FilterEds.Caption, 'eds', FilterAll.Caption, '*'], 1);
  end
  else
    LoadPluginConfigForm(Self);
  // Without a sender no tree was made: the form only carries the values.
  if propTree <> nil then
    propTree.AsText := lblParams.Caption;
end;

procedure btnOKClick(Sender: TObject);
begin
  propTree.CancelEdit;
  Hide;
  // Saved by the host as the setting "Parser config".
  lblParams.Caption := propTree.AsText;
end;

procedure btnCancelClick(Sender: TObject);
begin
  propTree.CancelEdit;
  Hide;
end;

procedure FormDestroy(Sender: TObject);
begin
  FreeVirtualParamTreeview(propTree);
end;
