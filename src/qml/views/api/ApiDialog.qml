// The live API's settings: on or off, where it listens, and the token other programs bring.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Pelora

Dialog {
    id: dialog

    property string message: ""

    function load() {
        enabledBox.checked = ApiServer.enabled
        addressField.text = ApiServer.address
        portField.text = String(ApiServer.port)
        dialog.message = ""
    }

    function save() {
        const port = /^[0-9]+$/.test(portField.text.trim()) ? parseInt(portField.text.trim(), 10) : 0
        const error = ApiServer.apply(enabledBox.checked, addressField.text, port)
        dialog.message = error
        if (error.length === 0)
            dialog.close()
    }

    objectName: "apiDialog"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(600, (parent ? parent.width : 600) - 32)
    height: Math.min(implicitHeight, (parent ? parent.height : 600) - 32)
    modal: true
    title: qsTr("本机接口")
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

            CheckBox {
                id: enabledBox

                objectName: "apiEnabledBox"
                text: qsTr("让本机的其他程序通过 WebSocket 读取重量、记录，并置零、去皮")
            }
            GridLayout {
                Layout.fillWidth: true
                columns: 2
                columnSpacing: 10
                rowSpacing: 4
                enabled: enabledBox.checked

                Label {
                    text: qsTr("地址")
                }
                TextField {
                    id: addressField

                    objectName: "apiAddressField"
                    Layout.fillWidth: true
                    selectByMouse: true
                }
                Label {
                    text: qsTr("端口")
                }
                TextField {
                    id: portField

                    objectName: "apiPortField"
                    Layout.preferredWidth: 120
                    selectByMouse: true
                    inputMethodHints: Qt.ImhDigitsOnly
                }
                Label {
                    text: qsTr("令牌")
                }
                RowLayout {
                    Layout.fillWidth: true

                    TextField {
                        id: tokenField

                        objectName: "apiTokenField"
                        Layout.fillWidth: true
                        readOnly: true
                        selectByMouse: true
                        font.family: "monospace"
                        text: ApiServer.token.length > 0 ? ApiServer.token : qsTr("（开启时生成）")
                        // Its beginning in view, not its end, where setting the text leaves the cursor.
                        onTextChanged: tokenField.cursorPosition = 0
                    }
                    Button {
                        objectName: "apiCopyButton"
                        text: qsTr("复制")
                        enabled: ApiServer.token.length > 0
                        onClicked: {
                            tokenField.selectAll()
                            tokenField.copy()
                            tokenField.deselect()
                        }
                    }
                    Button {
                        objectName: "apiNewTokenButton"
                        text: qsTr("换新")
                        enabled: ApiServer.token.length > 0
                        onClicked: ApiServer.newToken()
                    }
                }
            }
            Label {
                objectName: "apiAddressHint"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                font.pixelSize: 12
                text: addressField.text.trim() === "127.0.0.1" || addressField.text.trim() === "::1"
                      ? qsTr("只有本机的程序能连接。连接地址：%1").arg(ApiServer.url)
                      : qsTr("其他电脑也能连接（须带令牌，连接不加密）：只在可信的网络里这样设置")
            }
            Label {
                objectName: "apiStatus"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                font.pixelSize: 12
                text: qsTr("状态：%1").arg(ApiServer.statusText)
            }
            Label {
                objectName: "apiMessage"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                visible: text.length > 0
                color: "#E53935"
                text: dialog.message
            }
            RowLayout {
                Layout.fillWidth: true

                Item {
                    Layout.fillWidth: true
                }
                Button {
                    objectName: "apiCancelButton"
                    text: qsTr("取消")
                    flat: true
                    onClicked: dialog.close()
                }
                Button {
                    objectName: "apiSaveButton"
                    text: qsTr("保存")
                    onClicked: dialog.save()
                }
            }
        }
    }
}
