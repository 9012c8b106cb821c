// The keyboard wedge's settings: whether Pelora types the weight into the program that has
// the keyboard focus, and how the typed text looks. The options keep their values only on
// 保存; the example shows the exact text the current choice would type.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Pelora

Dialog {
    id: dialog

    // An example weight, shown in the display's unit.
    readonly property real exampleKg: 12.345
    readonly property string exampleText: KeyboardWedge.format(dialog.exampleKg, AppSettings.weightUnit,
                                                               unitBox.checked, commaBox.checked,
                                                               terminatorBox.currentIndex)

    function load() {
        enabledBox.checked = KeyboardWedge.enabled
        unitBox.checked = KeyboardWedge.withUnit
        commaBox.checked = KeyboardWedge.decimalComma
        terminatorBox.currentIndex = KeyboardWedge.terminator
        afterRecordBox.checked = KeyboardWedge.afterRecord
    }

    function save() {
        KeyboardWedge.withUnit = unitBox.checked
        KeyboardWedge.decimalComma = commaBox.checked
        KeyboardWedge.terminator = terminatorBox.currentIndex
        KeyboardWedge.afterRecord = afterRecordBox.checked
        KeyboardWedge.enabled = enabledBox.checked
        dialog.close()
    }

    objectName: "wedgeDialog"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(560, (parent ? parent.width : 560) - 32)
    height: Math.min(implicitHeight, (parent ? parent.height : 600) - 32)
    modal: true
    title: qsTr("键盘输出")
    background: PopupFrame {}
    topInset: -1
    bottomInset: -1
    leftInset: -1
    rightInset: -1
    onAboutToShow: dialog.load()

    ScrollView {
        anchors.fill: parent
        contentWidth: availableWidth
        clip: true

        ColumnLayout {
            width: parent.width
            spacing: 6

            Label {
                objectName: "wedgeReason"
                Layout.fillWidth: true
                visible: !KeyboardWedge.available
                wrapMode: Text.Wrap
                color: "#E53935"
                text: KeyboardWedge.unavailableReason
            }
            CheckBox {
                id: enabledBox

                objectName: "wedgeEnabledBox"
                enabled: KeyboardWedge.available
                text: qsTr("把重量输入到当前有键盘焦点的程序（按钮“发送重量”或 F4）")
            }
            ColumnLayout {
                Layout.fillWidth: true
                Layout.leftMargin: 12
                spacing: 2
                enabled: KeyboardWedge.available && enabledBox.checked

                CheckBox {
                    id: unitBox

                    objectName: "wedgeUnitBox"
                    text: qsTr("带单位（kg 或 斤）")
                }
                CheckBox {
                    id: commaBox

                    objectName: "wedgeCommaBox"
                    text: qsTr("小数点用逗号（12,345）")
                }
                RowLayout {
                    spacing: 10

                    Label {
                        text: qsTr("重量之后")
                    }
                    ComboBox {
                        id: terminatorBox

                        objectName: "wedgeTerminatorBox"
                        Layout.preferredWidth: 220
                        model: [qsTr("不加"), qsTr("Tab（下一栏）"), qsTr("Enter（回车）")]
                        popup.background: PopupFrame {}
                    }
                }
                CheckBox {
                    id: afterRecordBox

                    objectName: "wedgeAfterRecordBox"
                    text: qsTr("每条自动记录之后也输入它的重量")
                }
            }
            RowLayout {
                Layout.fillWidth: true
                spacing: 10
                enabled: KeyboardWedge.available

                Label {
                    text: qsTr("输入的文字（示例）")
                }
                Label {
                    objectName: "wedgeExample"
                    Layout.fillWidth: true
                    font.family: "monospace"
                    font.bold: true
                    elide: Text.ElideRight
                    text: KeyboardWedge.visible(dialog.exampleText)
                }
            }
            RowLayout {
                Layout.fillWidth: true

                Item {
                    Layout.fillWidth: true
                }
                Button {
                    objectName: "wedgeCancelButton"
                    text: qsTr("取消")
                    flat: true
                    onClicked: dialog.close()
                }
                Button {
                    objectName: "wedgeSaveButton"
                    text: qsTr("保存")
                    enabled: KeyboardWedge.available
                    onClicked: dialog.save()
                }
            }
        }
    }
}
