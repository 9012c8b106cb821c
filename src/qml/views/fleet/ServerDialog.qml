// The shared server's settings: where it is, as whom, how the connection is protected. The
// password is never asked for here: libpq reads it from the user's password file.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Pelora

Dialog {
    id: dialog

    property string message: ""

    function load() {
        enabledBox.checked = FleetLink.enabled
        hostField.text = FleetLink.host
        portField.text = String(FleetLink.port)
        databaseField.text = FleetLink.database
        userField.text = FleetLink.user
        serviceField.text = FleetLink.service
        sslBox.currentIndex = Math.max(0, sslBox.find(FleetLink.sslMode))
        dialog.message = ""
    }

    function save() {
        const port = /^[0-9]+$/.test(portField.text.trim()) ? parseInt(portField.text.trim(), 10) : 0
        const error = FleetLink.apply(enabledBox.checked, hostField.text, port, databaseField.text,
                                      userField.text, sslBox.currentText, serviceField.text)
        dialog.message = error
        if (error.length === 0)
            dialog.close()
    }

    objectName: "serverDialog"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(560, (parent ? parent.width : 560) - 32)
    height: Math.min(implicitHeight, (parent ? parent.height : 600) - 32)
    modal: true
    title: qsTr("服务器")
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

                objectName: "serverEnabledBox"
                text: qsTr("把记录同步到服务器（PostgreSQL）")
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
                    id: hostField

                    objectName: "serverHostField"
                    Layout.fillWidth: true
                    selectByMouse: true
                    placeholderText: qsTr("例如 192.168.1.10")
                }
                Label {
                    text: qsTr("端口")
                }
                TextField {
                    id: portField

                    objectName: "serverPortField"
                    Layout.preferredWidth: 120
                    selectByMouse: true
                    inputMethodHints: Qt.ImhDigitsOnly
                }
                Label {
                    text: qsTr("数据库")
                }
                TextField {
                    id: databaseField

                    objectName: "serverDatabaseField"
                    Layout.fillWidth: true
                    selectByMouse: true
                }
                Label {
                    text: qsTr("用户")
                }
                TextField {
                    id: userField

                    objectName: "serverUserField"
                    Layout.fillWidth: true
                    selectByMouse: true
                }
                Label {
                    text: qsTr("加密")
                }
                ComboBox {
                    id: sslBox

                    objectName: "serverSslBox"
                    Layout.fillWidth: true
                    model: FleetLink.sslModes
                    popup.background: PopupFrame {}
                }
                Label {
                    text: qsTr("服务名")
                }
                TextField {
                    id: serviceField

                    objectName: "serverServiceField"
                    Layout.fillWidth: true
                    selectByMouse: true
                    placeholderText: qsTr("可不填（连接服务文件 pg_service.conf 中的名字）")
                }
            }
            Label {
                objectName: "serverPasswordHint"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                font.pixelSize: 12
                text: FleetLink.passwordHint
            }
            Label {
                objectName: "serverMessage"
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
                    objectName: "serverCancelButton"
                    text: qsTr("取消")
                    flat: true
                    onClicked: dialog.close()
                }
                Button {
                    objectName: "serverSaveButton"
                    text: qsTr("保存")
                    onClicked: dialog.save()
                }
            }
        }
    }
}
